// The drop-in's two pieces of i386 assembly; arch_x86_64.cpp holds the same
// two for x86-64. The export stubs come from gen_exports.py.
//
// waveOutOpen's entry. It decides by its caller's return address: the
// platform's modules go to the system's waveOutOpen, the program's own to the
// answered path. The first module that was answered from memory, usually the
// program's .exe, is checked inline, so its calls reach the answered path
// after five instructions; every other caller goes through the module cache
// (caller_scope.cpp).
//
// The answered path then answers an open that asks for the same PCM format,
// the same target and the same flags as the latest open that went further,
// with that open's device, as latch_answer does: it reads shared memory only,
// needs no stack frame and saves no register. Everything else jumps on to
// dropin_open_slow. All of it goes on with the stack as the caller left it:
// the six arguments are never copied.
//
// The resolver's register save: entered from a stub's resolver with the
// export's index pushed above the caller's return address. Keeps eax, ecx
// and edx for the real function, replaces the index with the target and
// returns into it, so the target finds the stack exactly as the caller left
// it.

#include <stddef.h>

#include "devices.h"

// Where the answered path finds what it compares.
#define DEVICE_DONE "84"
#define DEVICE_HANDLE "88"
#define DEVICE_LATEST "96"
static_assert(offsetof(wave_device, format.head) == 0, "format first");
static_assert(offsetof(wave_device, latch.done) == 84, "latch.done");
static_assert(offsetof(wave_device, latch.handle) == 88, "latch.handle");
static_assert(offsetof(wave_device, latest) == 96, "latest");
static_assert(offsetof(wave_target, callback) == 0 && offsetof(wave_target, instance) == 4 &&
                  offsetof(wave_target, flags) == 8,
              "target");

// Arguments above the return address: 4 phwo, 8 uDeviceID, 12 pwfx,
// 16 dwCallback, 20 dwInstance, 24 fdwOpen.
// clang-format off
asm(".text\n"
    ".globl _dropin_waveOutOpen@24\n"
    "_dropin_waveOutOpen@24:\n"
    // Size before base: a size that is not 0 was written after its base.
    "    movl _wm_hot_size, %ecx\n"
    "    movl (%esp), %eax\n"
    "    subl _wm_hot_base, %eax\n"
    "    cmpl %ecx, %eax\n"
    "    jae 3f\n"
    "1:\n"
    // hot_device is never NULL: without a device, one whose format matches nothing.
    "    movl _hot_device, %eax\n"
    "    movl 12(%esp), %ecx\n"
    "    testl %ecx, %ecx\n"
    "    jz 2f\n"
    "    cmpl $0, 4(%esp)\n"
    "    je 2f\n"
    // Tag and channels, rate, bytes per second, block alignment and bits.
    "    movl (%ecx), %edx\n"
    "    cmpl (%eax), %edx\n"
    "    jne 2f\n"
    "    movl 4(%ecx), %edx\n"
    "    cmpl 4(%eax), %edx\n"
    "    jne 2f\n"
    "    movl 8(%ecx), %edx\n"
    "    cmpl 8(%eax), %edx\n"
    "    jne 2f\n"
    "    movl 12(%ecx), %edx\n"
    "    cmpl 12(%eax), %edx\n"
    "    jne 2f\n"
    // The latest target, and the flags (a format query has flags no target has).
    "    movl " DEVICE_LATEST "(%eax), %ecx\n"
    "    movl 16(%esp), %edx\n"
    "    cmpl (%ecx), %edx\n"
    "    jne 2f\n"
    "    movl 20(%esp), %edx\n"
    "    cmpl 4(%ecx), %edx\n"
    "    jne 2f\n"
    "    movl 24(%esp), %edx\n"
    "    cmpl 8(%ecx), %edx\n"
    "    jne 2f\n"
    // An open latch's handle (x86 loads are acquire loads).
    "    cmpl $0, " DEVICE_DONE "(%eax)\n"
    "    je 2f\n"
    "    movl " DEVICE_HANDLE "(%eax), %ecx\n"
    "    movl 4(%esp), %edx\n"
    "    movl %ecx, (%edx)\n"
    "    xorl %eax, %eax\n"
    "    ret $24\n"
    "2:  jmp _dropin_open_slow@24\n"
    // Any other caller: the module cache, out of the answered path's way.
    "3:  pushl (%esp)\n"
    "    call _caller_may_be_answered@4\n"
    "    testb %al, %al\n"
    "    jz _wm_real_waveOutOpen@24\n"
    "    jmp 1b\n"
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
// clang-format on
