// The drop-in's one piece of x86-64 assembly; arch_i386.cpp holds the same
// for i386. The export stubs come from gen_exports.py.
//
// x86-64 has one calling convention: the first four arguments in rcx, rdx,
// r8 and r9 (floating-point ones in xmm0 to xmm3), the rest on the stack
// above 32 bytes of shadow space, which the caller reserves and removes.
// The resolver leaves all of it as the caller set it up and ends in a jump,
// so the function behind it runs as if called directly. r10, r11 and rax
// carry no argument and are free on entry. Its frame is a function of its
// own with unwind data, so that exceptions and stack walks pass through it;
// it ends in an epilogue of the form the unwinder knows (add to rsp, then
// jump).

// The resolver's register save: entered from a stub's resolver with the
// caller's return address on top of the stack and the export's index in
// r10d. Keeps the four argument registers and xmm0 to xmm3 around
// wm_resolve, then jumps to the target it returns.
asm(".text\n"
    ".globl wm_resolve_common\n"
    "wm_resolve_common:\n"
    ".seh_proc wm_resolve_common\n"
    // 32 bytes of shadow space for wm_resolve, 4 registers, 4 xmm registers
    // and 8 bytes that align rsp to 16 for the call.
    "    subq $136, %rsp\n"
    ".seh_stackalloc 136\n"
    ".seh_endprologue\n"
    "    movq %rcx, 32(%rsp)\n"
    "    movq %rdx, 40(%rsp)\n"
    "    movq %r8, 48(%rsp)\n"
    "    movq %r9, 56(%rsp)\n"
    "    movups %xmm0, 64(%rsp)\n"
    "    movups %xmm1, 80(%rsp)\n"
    "    movups %xmm2, 96(%rsp)\n"
    "    movups %xmm3, 112(%rsp)\n"
    "    movl %r10d, %ecx\n"
    "    call wm_resolve\n"
    "    movq 32(%rsp), %rcx\n"
    "    movq 40(%rsp), %rdx\n"
    "    movq 48(%rsp), %r8\n"
    "    movq 56(%rsp), %r9\n"
    "    movups 64(%rsp), %xmm0\n"
    "    movups 80(%rsp), %xmm1\n"
    "    movups 96(%rsp), %xmm2\n"
    "    movups 112(%rsp), %xmm3\n"
    "    addq $136, %rsp\n"
    "    rex.W jmp *%rax\n"
    ".seh_endproc\n");
