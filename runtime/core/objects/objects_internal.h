// Internals of the object model shared by its source files and its unit tests.
#pragma once
#include "runtime/runtime_only.h"
#include <stdint.h>

#include "runtime/core/objects/object.h"

// Raise NilObjectException for a failed allocation of a class record, method table or
// object. When the exception itself cannot be created, the process ends through the
// runtime's out-of-memory path instead of recursing.
void MVRaiseAllocationFailure();

// Head of the process-wide class list (newest first).
MVClass* MVClassListHead();

// Scan the code after a return address for an inline handler record: nesting by
// 0x412/0x413 records, stop at the first epilogue (C9 C3 or 5D C3). Returns the record
// or NULL.
const uint8_t* MVFindHandlerRecord(const uint8_t* code);

// Number of objects waiting in the pending-destruction list (0 outside a destruction).
uint32_t MVPendingDestructionCount();
