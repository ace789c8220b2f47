// Declarations of every function listed in export_list.inc.
#pragma once
#include "runtime/runtime_only.h"
#include "runtime/files/folder_access.h"
#include "runtime/files/folder_copy.h"
#include "runtime/files/folderitem.h"
#include "runtime/files/safe_output.h"
#include "runtime/files/standard_streams.h"
#include "runtime/files/streams.h"
