/*
 * SYS_StackTrace on 32-bit MIPS (o32): hands the walk over to memWalkStack
 * without a call of its own. It keeps no frame and leaves ra, sp and the
 * argument registers as its caller set them, then jumps, so memWalkStack
 * returns straight to SYS_StackTrace's caller and its return address is the
 * one into that caller. Written in assembly because a compiler's tail call
 * is not guaranteed at every optimisation level.
 */
    .text
    .align  2
    .globl  SYS_StackTrace
    .type   SYS_StackTrace, @function
    .ent    SYS_StackTrace
SYS_StackTrace:
    .frame  $sp, 0, $ra
    .set    noreorder
#ifdef __PIC__
    .cpload $t9
#endif
    .set    reorder
    la      $t9, memWalkStack
    jr      $t9
    .end    SYS_StackTrace
    .size   SYS_StackTrace, .-SYS_StackTrace

    .section .note.GNU-stack,"",@progbits
