#include "runtime/core/handler_record.inc"

/* MVObject* MVProtectedCall(void* fn, uint32_t a, uint32_t b, uint32_t c, uint32_t* result)
 * Calls fn(a, b, c) with a handler record after the call. Normal return: stores fn's
 * result through `result` (when not NULL) and returns NULL. A raise below fn lands in
 * the handler when fn returns, which returns the exception (one reference, added by
 * the unwinder when it stored it in the local at -4(%ebp)). */
        .text
        .globl  MVProtectedCall
        .type   MVProtectedCall, @function
MVProtectedCall:
        pushl   %ebp
        movl    %esp, %ebp
        subl    $28, %esp               /* keeps the call below 16-byte aligned */
        movl    $0, -4(%ebp)            /* the exception local */
        pushl   20(%ebp)
        pushl   16(%ebp)
        pushl   12(%ebp)
        call    *8(%ebp)
        MV_HANDLER_RECORD 0x411, -4, 1f
        leal    -28(%ebp), %esp         /* handler: stack pointer back from the frame */
        movl    -4(%ebp), %eax
        jmp     2f
1:      movl    24(%ebp), %ecx
        testl   %ecx, %ecx
        jz      3f
        movl    %eax, (%ecx)
3:      xorl    %eax, %eax
2:      leave
        ret
        .size   MVProtectedCall, . - MVProtectedCall
        .section .note.GNU-stack, "", @progbits
