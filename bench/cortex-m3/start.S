@ Entry of the benchmark program under qemu-arm (user mode): Linux leaves
@ argc, then argv, at the stack pointer. Returns main's status through the
@ exit system call (EABI: number in r7, svc 0).
    .syntax unified
    .thumb
    .text
    .global _start
    .type _start, %function
    .thumb_func
_start:
    mov r0, sp
    bl harness_main
    movs r7, #1
    svc #0
    .size _start, . - _start
