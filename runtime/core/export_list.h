// Declarations of every function listed in export_list.inc.
#pragma once
#include "runtime/runtime_only.h"
#include "runtime/core/exception.h"
#include "runtime/core/object.h"
#include "runtime/core/plugin.h"
#include "runtime/core/signals.h"
#include "runtime/core/startup.h"
#include "runtime/core/workers.h"
