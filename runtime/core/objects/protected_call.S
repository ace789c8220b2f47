#include "runtime/core/objects/handler_record.inc"

/* MVObject* MVProtectedCall(void* fn, MVWord a, MVWord b, MVWord c, MVWord* result) */
        MV_PROTECTED_CALL_ROUTINE MVProtectedCall
        .section .note.GNU-stack, "", @progbits
