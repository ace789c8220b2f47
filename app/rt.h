// The runtime as the application sees it: the exported entry points it calls by name.
// Every name used here must be in the runtime's export table; the image builder refuses
// any other undefined name.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "runtime/console/command_form.h"
#include "runtime/console/console.h"
#include "runtime/console/progress.h"
#include "runtime/core/objects/exception.h"
#include "runtime/core/objects/object.h"
#include "runtime/core/objects/signals.h"
#include "runtime/core/process/plugin.h"
#include "runtime/core/process/startup.h"
#include "runtime/core/process/workers.h"
#include "runtime/files/folder_access.h"
#include "runtime/files/folder_copy.h"
#include "runtime/files/folderitem.h"
#include "runtime/files/safe_output.h"
#include "runtime/files/standard_streams.h"
#include "runtime/files/streams.h"
#include "runtime/values/array.h"
#include "runtime/values/date.h"
#include "runtime/values/numbers.h"
#include "runtime/values/secure_random.h"
#include "runtime/values/sha256.h"
#include "runtime/values/string.h"
#include "app/lit.h"
