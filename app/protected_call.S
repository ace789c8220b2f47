#include "runtime/core/objects/handler_record.inc"

/* MVObject* AppProtectedCall(void* fn, uint32_t a, uint32_t b, uint32_t c, uint32_t* result):
 * the image's own protected call, with its handler record in the image's code. */
        MV_PROTECTED_CALL_ROUTINE AppProtectedCall
        .section .note.GNU-stack, "", @progbits
