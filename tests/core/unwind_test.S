#include "runtime/core/objects/handler_record.inc"

/* Test routines that protect a call with inline handler records, as compiled code does.
 *
 * uint32_t NestedCatch(void (*fn)(uint32_t), uint32_t arg, MVObject** caught)
 *   Calls fn(arg). After the call site: a nested region (0x412 ... 0x413) whose own
 *   handler stores into -8(%ebp), then the real handler storing into -4(%ebp).
 *   Returns 0 on a normal return, 1 from the nested region's handler, 2 from the real
 *   one; *caught receives the local of the handler that ran (NULL on a normal return). */
        .text
        .globl  NestedCatch
        .type   NestedCatch, @function
NestedCatch:
        pushl   %ebp
        movl    %esp, %ebp
        subl    $20, %esp
        movl    $0, -4(%ebp)
        movl    $0, -8(%ebp)
        pushl   12(%ebp)
        call    *8(%ebp)
        MV_HANDLER_RECORD 0x412, 0, 1f
1:      MV_HANDLER_RECORD 0x411, -8, 2f
        leal    -20(%ebp), %esp
        movl    $1, %eax
        movl    -8(%ebp), %ecx
        jmp     9f
2:      MV_HANDLER_RECORD 0x413, 0, 3f
3:      MV_HANDLER_RECORD 0x411, -4, 4f
        leal    -20(%ebp), %esp
        movl    $2, %eax
        movl    -4(%ebp), %ecx
        jmp     9f
4:      xorl    %eax, %eax
        xorl    %ecx, %ecx
9:      movl    16(%ebp), %edx
        movl    %ecx, (%edx)
        leave
        ret
        .size   NestedCatch, . - NestedCatch

/* uint32_t CatchNoLocal(void (*fn)(uint32_t), uint32_t arg)
 *   A handler whose record names no local: returns 0 on a normal return, 1 from the
 *   handler. */
        .globl  CatchNoLocal
        .type   CatchNoLocal, @function
CatchNoLocal:
        pushl   %ebp
        movl    %esp, %ebp
        subl    $4, %esp
        pushl   12(%ebp)
        call    *8(%ebp)
        MV_HANDLER_RECORD 0x411, 0, 1f
        leal    -4(%ebp), %esp
        movl    $1, %eax
        jmp     2f
1:      xorl    %eax, %eax
2:      leave
        ret
        .size   CatchNoLocal, . - CatchNoLocal

/* void CallWithFrame(void* frame, void (*fn)(uint32_t), uint32_t arg)
 *   Calls fn(arg) with the frame pointer set to `frame`, so that fn's frame record
 *   links to a forged caller record; the real frame pointer is restored afterwards. */
        .globl  CallWithFrame
        .type   CallWithFrame, @function
CallWithFrame:
        pushl   %ebp
        movl    %esp, %ebp
        pushl   %ebx
        movl    %ebp, %ebx
        movl    12(%ebp), %ecx
        pushl   16(%ebp)
        movl    8(%ebp), %ebp
        call    *%ecx
        movl    %ebx, %ebp
        movl    -4(%ebp), %ebx
        leave
        ret
        .size   CallWithFrame, . - CallWithFrame

/* A stand-in for code of the image: ImageCall(fn, arg) calls fn(arg) from between the
 * labels ImageCodeStart and ImageCodeEnd, so that a symbols block can name it. */
        .globl  ImageCodeStart
        .globl  ImageCodeEnd
        .globl  ImageCall
        .type   ImageCall, @function
        .p2align 4
ImageCodeStart:
        .byte   0x90
ImageCall:
        pushl   %ebp
        movl    %esp, %ebp
        subl    $20, %esp
        pushl   12(%ebp)
        call    *8(%ebp)
        leave
        ret
        .size   ImageCall, . - ImageCall
ImageCodeEnd:
        .section .note.GNU-stack, "", @progbits
