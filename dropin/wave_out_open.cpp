// The drop-in's waveOutOpen: the answered path for the program's own
// modules, the system's waveOutOpen for the platform's.
//
// The entry decides by its caller's return address and goes on with the
// stack as the caller left it: the six arguments are never copied. The first
// module that was answered from memory, usually the program's .exe, is
// checked inline, so its calls reach the answered path after five
// instructions; every other caller goes through the module cache.
//
// The answered path then answers an open that asks for the same PCM format,
// the same target and the same flags as the latest open that went further,
// with that open's device: it reads shared memory only, needs no stack frame
// and saves no register. Everything else jumps on to dropin_open_slow.

#include <stddef.h>

#include "caller_scope.h"
#include "devices.h"
#include "real_winmm.h"

extern "C" MMRESULT WINAPI dropin_open_slow(LPHWAVEOUT phwo, UINT uDeviceID, LPCWAVEFORMATEX pwfx,
                                            DWORD_PTR dwCallback, DWORD_PTR dwInstance,
                                            DWORD fdwOpen);

// Where the answered path finds what it compares (i386).
#define DEVICE_DONE 84
#define DEVICE_HANDLE 88
#define DEVICE_LATEST 96
#define STR_(x) #x
#define STR(x) STR_(x)
static_assert(offsetof(wave_device, format.head) == 0, "format first");
static_assert(offsetof(wave_device, latch.done) == DEVICE_DONE, "latch.done");
static_assert(offsetof(wave_device, latch.handle) == DEVICE_HANDLE, "latch.handle");
static_assert(offsetof(wave_device, latest) == DEVICE_LATEST, "latest");
static_assert(offsetof(wave_target, callback) == 0 && offsetof(wave_target, instance) == 4 &&
                  offsetof(wave_target, flags) == 8,
              "target");

// Arguments above the return address: 4 phwo, 8 uDeviceID, 12 pwfx,
// 16 dwCallback, 20 dwInstance, 24 fdwOpen.
asm(".text\n"
    ".globl _dropin_waveOutOpen@24\n"
    "_dropin_waveOutOpen@24:\n"
    // Size before base: a size that is not 0 was written after its base.
    "    movl _wm_hot_size, %ecx\n"
    "    movl (%esp), %eax\n"
    "    subl _wm_hot_base, %eax\n"
    "    cmpl %ecx, %eax\n"
    "    jb 1f\n"
    "    pushl (%esp)\n"
    "    call _caller_may_be_answered@4\n"
    "    testb %al, %al\n"
    "    jz _wm_real_waveOutOpen@24\n"
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
    "    movl " STR(
        DEVICE_LATEST) "(%eax), %ecx\n"
                       "    movl 16(%esp), %edx\n"
                       "    cmpl (%ecx), %edx\n"
                       "    jne 2f\n"
                       "    movl 20(%esp), %edx\n"
                       "    cmpl 4(%ecx), %edx\n"
                       "    jne 2f\n"
                       "    movl 24(%esp), %edx\n"
                       "    cmpl 8(%ecx), %edx\n"
                       "    jne 2f\n"
                       // latch_answer: an open latch's handle (x86 loads are acquire loads).
                       "    cmpl $0, " STR(
                           DEVICE_DONE) "(%eax)\n"
                                        "    je 2f\n"
                                        "    movl " STR(
                                            DEVICE_HANDLE) "(%eax), %ecx\n"
                                                           "    movl 4(%esp), %edx\n"
                                                           "    movl %ecx, (%edx)\n"
                                                           "    xorl %eax, %eax\n"
                                                           "    ret $24\n"
                                                           "2:  jmp _dropin_open_slow@24\n");
