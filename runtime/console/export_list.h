// Declarations of every function listed in export_list.inc.
#pragma once
#include "runtime/runtime_only.h"
#include "runtime/console/command_form.h"
#include "runtime/console/console.h"
#include "runtime/console/progress.h"
