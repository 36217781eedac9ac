// The drop-in's two pieces of i386 assembly; arch_x86_64.cpp holds the same
// two for x86-64. The export stubs come from gen_exports.py.
//
// waveOutOpen's entry: the open-once entry point for the program's own
// modules, the system's waveOutOpen for the platform's. It decides by its
// caller's return address and then jumps on, with the stack as the caller
// left it: the six arguments are never copied. The first module that was
// answered from memory, usually the program's .exe, is checked inline, so
// its calls reach the open-once logic after four instructions; every other
// caller goes through the module cache (caller_scope.cpp).
//
// The resolver's register save: entered from a stub's resolver with the
// export's index pushed above the caller's return address. Keeps eax, ecx
// and edx for the real function, replaces the index with the target and
// returns into it, so the target finds the stack exactly as the caller left
// it.

asm(".text\n"
    ".globl _dropin_waveOutOpen@24\n"
    "_dropin_waveOutOpen@24:\n"
    // Size before base: a size that is not 0 was written after its base.
    "    movl _wm_hot_size, %ecx\n"
    "    movl (%esp), %eax\n"
    "    subl _wm_hot_base, %eax\n"
    "    cmpl %ecx, %eax\n"
    "    jb _sndlatch@24\n"
    "    pushl (%esp)\n"
    "    call _caller_may_be_answered@4\n"
    "    testb %al, %al\n"
    "    jz _wm_real_waveOutOpen@24\n"
    "    jmp _sndlatch@24\n"
    "\n"
    ".globl _wm_resolve_common\n"
    "_wm_resolve_common:\n"
    "    pushl %eax\n"
    "    pushl %ecx\n"
    "    pushl %edx\n"
    "    pushl 12(%esp)\n"
    "    call _wm_resolve@4\n"
    "    movl %eax, 12(%esp)\n"
    "    popl %edx\n"
    "    popl %ecx\n"
    "    popl %eax\n"
    "    ret\n");
