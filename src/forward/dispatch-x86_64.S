# The dispatcher of the exports that pilro-place adds to the relay and the stub, for x86-64
# Windows; the section .pilro that tells pilro-place where things are; and the slots.
#
# Each added export is "mov eax, INDEX; jmp pilro_forward_dispatch", INDEX being its place
# among the export table's functions. rax, r10 and r11 are scratch registers that carry no
# argument in any x86-64 Windows calling convention, so they may change on the way (Windows'
# own delay-load thunks use them the same way); every argument register, and the stack, reach
# the real function as the caller left them.

    .set slot_count, 65536

    .section .pilro,"dr"
    .globl pilro_placement
    .p2align 2
pilro_placement:
    .ascii "PILROFWD"
    .long 1
    .rva load, request, unload, loadu
    .rva pilro_forward_dispatch
    .long slot_count

# The function each added export goes to, by INDEX; empty until its first call.
    .bss
    .globl pilro_forward_slots
    .p2align 3
pilro_forward_slots:
    .space 8 * slot_count

    .text
    .globl pilro_forward_dispatch
    .p2align 4
pilro_forward_dispatch:
    leaq pilro_forward_slots(%rip), %r11
    movq (%r11,%rax,8), %r11
    testq %r11, %r11
    jz pilro_forward_first_call
    jmp *%r11

# What an export that cannot reach its real function does: returns 0, or 0.0.
    .globl pilro_forward_nothing
    .p2align 4
pilro_forward_nothing:
    xorl %eax, %eax
    xorps %xmm0, %xmm0
    ret

# An export's first call: the argument registers (xmm4 and xmm5 too, which vectorcall uses)
# are kept while pilro_forward_resolve finds the function, which then gets them as they were.
# The caller's call left the stack 8 bytes off a multiple of 16; four pushes and 136 bytes
# make it one.
    .p2align 4
    .seh_proc pilro_forward_first_call
pilro_forward_first_call:
    pushq %rcx
    .seh_pushreg %rcx
    pushq %rdx
    .seh_pushreg %rdx
    pushq %r8
    .seh_pushreg %r8
    pushq %r9
    .seh_pushreg %r9
    subq $136, %rsp
    .seh_stackalloc 136
    movdqa %xmm0, 32(%rsp)
    .seh_savexmm %xmm0, 32
    movdqa %xmm1, 48(%rsp)
    .seh_savexmm %xmm1, 48
    movdqa %xmm2, 64(%rsp)
    .seh_savexmm %xmm2, 64
    movdqa %xmm3, 80(%rsp)
    .seh_savexmm %xmm3, 80
    movdqa %xmm4, 96(%rsp)
    .seh_savexmm %xmm4, 96
    movdqa %xmm5, 112(%rsp)
    .seh_savexmm %xmm5, 112
    .seh_endprologue
    movl %eax, %ecx
    call pilro_forward_resolve
    movdqa 32(%rsp), %xmm0
    movdqa 48(%rsp), %xmm1
    movdqa 64(%rsp), %xmm2
    movdqa 80(%rsp), %xmm3
    movdqa 96(%rsp), %xmm4
    movdqa 112(%rsp), %xmm5
    addq $136, %rsp
    popq %r9
    popq %r8
    popq %rdx
    popq %rcx
    jmp *%rax
    .seh_endproc
