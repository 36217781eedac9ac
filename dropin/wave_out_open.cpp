// The drop-in's waveOutOpen: the open-once entry point for the program's own
// modules, the system's waveOutOpen for the platform's.
//
// It decides by its caller's return address and then jumps on, with the
// stack as the caller left it: the six arguments are never copied. The first
// module that was answered from memory, usually the program's .exe, is
// checked inline, so its calls reach the open-once logic after four
// instructions; every other caller goes through the module cache.

#include "caller_scope.h"
#include "open_once.h"
#include "real_winmm.h"

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
    "    jmp _sndlatch@24\n");
