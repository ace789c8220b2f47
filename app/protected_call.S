#include "runtime/core/handler_record.inc"

/* MVObject* AppProtectedCall(void* fn, MVObject* self, int32_t arg, int32_t* result)
 * Calls fn(self, arg) with a handler record right after the call. Normal return: stores
 * fn's result through `result` (when not NULL) and returns NULL. A raise below fn
 * redirects fn's return into the handler, which returns the exception (the unwinder
 * stored it in the local at -4(%ebp) with one reference added). */
        .text
        .globl  AppProtectedCall
        .type   AppProtectedCall, @function
AppProtectedCall:
        pushl   %ebp
        movl    %esp, %ebp
        subl    $16, %esp               /* the call below stays 16-byte aligned */
        movl    $0, -4(%ebp)            /* the exception local */
        pushl   16(%ebp)
        pushl   12(%ebp)
        call    *8(%ebp)
        MV_HANDLER_RECORD 0x411, -4, 1f
        leal    -16(%ebp), %esp         /* handler: stack pointer back from the frame */
        movl    -4(%ebp), %eax
        jmp     2f
1:      movl    20(%ebp), %ecx
        testl   %ecx, %ecx
        jz      3f
        movl    %eax, (%ecx)
3:      xorl    %eax, %eax
2:      leave
        ret
        .size   AppProtectedCall, . - AppProtectedCall
        .section .note.GNU-stack, "", @progbits
