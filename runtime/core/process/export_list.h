// Declarations of every function listed in export_list.inc.
#pragma once
#include "runtime/runtime_only.h"
#include "runtime/core/objects/exception.h"
#include "runtime/core/objects/object.h"
#include "runtime/core/process/plugin.h"
#include "runtime/core/objects/signals.h"
#include "runtime/core/process/startup.h"
#include "runtime/core/process/workers.h"
