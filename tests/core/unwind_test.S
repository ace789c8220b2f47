#include "runtime/core/objects/handler_record.inc"

/* Test routines that protect a call with inline handler records, as compiled code does,
 * one file per machine. */
#if defined(__x86_64__)
#include "tests/core/unwind_helpers_x86_64.inc"
#else
#include "tests/core/unwind_helpers_i386.inc"
#endif
        .section .note.GNU-stack, "", @progbits
