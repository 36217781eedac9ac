// The drop-in's one piece of i386 assembly; arch_x86_64.cpp holds the same
// for x86-64. The export stubs come from gen_exports.py.
//
// The resolver's register save: entered from a stub's resolver with the
// export's index pushed above the caller's return address. Keeps eax, ecx
// and edx for the real function, replaces the index with the target and
// returns into it, so the target finds the stack exactly as the caller left
// it.

// clang-format off
asm(".text\n"
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
// clang-format on
