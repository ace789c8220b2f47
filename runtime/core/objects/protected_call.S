#include "runtime/core/objects/handler_record.inc"

/* MVObject* MVProtectedCall(void* fn, uint32_t a, uint32_t b, uint32_t c, uint32_t* result) */
        MV_PROTECTED_CALL_ROUTINE MVProtectedCall
        .section .note.GNU-stack, "", @progbits
