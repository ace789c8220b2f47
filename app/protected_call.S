#include "runtime/core/objects/handler_record.inc"

/* MVObject* AppProtectedCall(void* fn, MVWord a, MVWord b, MVWord c, MVWord* result):
 * the image's own protected call, with its handler record in the image's code. */
        MV_PROTECTED_CALL_ROUTINE AppProtectedCall
        .section .note.GNU-stack, "", @progbits
