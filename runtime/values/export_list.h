// Declarations of every function listed in export_list.inc.
#pragma once
#include "runtime/runtime_only.h"
#include "runtime/values/array.h"
#include "runtime/values/date.h"
#include "runtime/values/numbers.h"
#include "runtime/values/secure_random.h"
#include "runtime/values/sha256.h"
#include "runtime/values/string.h"
