# The dispatcher of the exports that pilro-place adds to the relay and the stub, for 32-bit x86
# Windows; the section .pilro that tells pilro-place where things are; and the slots.
#
# Each added export is "mov eax, INDEX; jmp pilro_forward_dispatch", INDEX being its place
# among the export table's functions. eax carries no argument in the Windows calling
# conventions (cdecl, stdcall, fastcall and thiscall, vectorcall), so it may change on the way,
# as in Windows' own delay-load thunks; ecx and edx (fastcall, thiscall), xmm0-5 (vectorcall)
# and the stack reach the real function as the caller left them, whoever removes the arguments.
# C names carry a leading underscore here.

    .set slot_count, 65536

    .section .pilro,"dr"
    .globl _pilro_placement
    .p2align 2
_pilro_placement:
    .ascii "PILROFWD"
    .long 1
    .rva _load, _request, _unload, _loadu
    .rva _pilro_forward_dispatch
    .long slot_count

# The function each added export goes to, by INDEX; empty until its first call.
    .bss
    .globl _pilro_forward_slots
    .p2align 2
_pilro_forward_slots:
    .space 4 * slot_count

    .text
    .globl _pilro_forward_dispatch
    .p2align 4
_pilro_forward_dispatch:
    cmpl $0, _pilro_forward_slots(,%eax,4)
    je first_call
    jmp *_pilro_forward_slots(,%eax,4)

# What an export that cannot reach its real function does: returns 0 (in edx:eax for 64 bits).
    .globl _pilro_forward_nothing
    .p2align 4
_pilro_forward_nothing:
    xorl %eax, %eax
    xorl %edx, %edx
    ret

# An export's first call: ecx, edx and xmm0-5 are kept while pilro_forward_resolve finds the
# function, which then gets them as they were. Windows keeps the stack only 4-byte aligned;
# the saved xmm registers want 16.
    .p2align 4
first_call:
    pushl %ebp
    movl %esp, %ebp
    pushl %ecx
    pushl %edx
    andl $-16, %esp
    subl $112, %esp
    movdqa %xmm0, 16(%esp)
    movdqa %xmm1, 32(%esp)
    movdqa %xmm2, 48(%esp)
    movdqa %xmm3, 64(%esp)
    movdqa %xmm4, 80(%esp)
    movdqa %xmm5, 96(%esp)
    movl %eax, (%esp)
    call _pilro_forward_resolve
    movdqa 16(%esp), %xmm0
    movdqa 32(%esp), %xmm1
    movdqa 48(%esp), %xmm2
    movdqa 64(%esp), %xmm3
    movdqa 80(%esp), %xmm4
    movdqa 96(%esp), %xmm5
    leal -8(%ebp), %esp
    popl %edx
    popl %ecx
    popl %ebp
    jmp *%eax
