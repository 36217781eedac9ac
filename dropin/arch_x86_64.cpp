// The drop-in's two pieces of x86-64 assembly; arch_i386.cpp holds the same
// two for i386. The export stubs come from gen_exports.py.
//
// x86-64 has one calling convention: the first four arguments in rcx, rdx,
// r8 and r9 (floating-point ones in xmm0 to xmm3), the rest on the stack
// above 32 bytes of shadow space, which the caller reserves and removes.
// Both pieces leave all of it as the caller set it up and end in a jump, so
// the function behind them runs as if called directly (or, where the entry
// answers an open itself, return as waveOutOpen does). r10, r11 and rax
// carry no argument and are free on entry.
//
// Where they hold a frame, the frame is a function of its own with unwind
// data, so that exceptions and stack walks pass through it; each ends in an
// epilogue of the form the unwinder knows (add to rsp, then jump).

// waveOutOpen's entry: the platform's modules go to the system's
// waveOutOpen, the program's own to the answered path, decided by the
// caller's return address. The first module that was answered from memory
// is checked inline (size before base: a size that is not 0 was written
// after its base); every other caller goes through the module cache
// (caller_scope.cpp), with the argument registers kept around that call.
//
// The answered path, as on i386: an open that asks for the same PCM format,
// the same target and the same flags as the latest open that went further
// gets that open's device, as latch_answer gives it, reading shared memory
// only; everything else jumps on to dropin_open_slow. Arguments: rcx phwo,
// rdx uDeviceID, r8 pwfx, r9 dwCallback, 40(%rsp) dwInstance, 48(%rsp)
// fdwOpen.

#include <stddef.h>

#include "devices.h"

// Where the answered path finds what it compares.
#define DEVICE_DONE "88"
#define DEVICE_HANDLE "96"
#define DEVICE_LATEST "112"
static_assert(offsetof(wave_device, format.head) == 0, "format first");
static_assert(offsetof(wave_device, latch.done) == 88, "latch.done");
static_assert(offsetof(wave_device, latch.handle) == 96, "latch.handle");
static_assert(offsetof(wave_device, latest) == 112, "latest");
static_assert(offsetof(wave_target, callback) == 0 && offsetof(wave_target, instance) == 8 &&
                  offsetof(wave_target, flags) == 16,
              "target");

// clang-format off
asm(".text\n"
    ".globl dropin_waveOutOpen\n"
    "dropin_waveOutOpen:\n"
    "    movq wm_hot_size(%rip), %rax\n"
    "    movq (%rsp), %r10\n"
    "    subq wm_hot_base(%rip), %r10\n"
    "    cmpq %rax, %r10\n"
    "    jae wm_open_check_caller\n"
    "wm_open_answered:\n"
    // hot_device is never NULL: without a device, one whose format matches nothing.
    "    movq hot_device(%rip), %rax\n"
    "    testq %r8, %r8\n"
    "    jz 2f\n"
    "    testq %rcx, %rcx\n"
    "    jz 2f\n"
    // Tag and channels, rate, bytes per second, block alignment and bits:
    // the 16 bytes as two quadwords.
    "    movq (%r8), %r10\n"
    "    cmpq (%rax), %r10\n"
    "    jne 2f\n"
    "    movq 8(%r8), %r10\n"
    "    cmpq 8(%rax), %r10\n"
    "    jne 2f\n"
    // The latest target, and the flags (a format query has flags no target has).
    "    movq " DEVICE_LATEST "(%rax), %r11\n"
    "    cmpq (%r11), %r9\n"
    "    jne 2f\n"
    "    movq 40(%rsp), %r10\n"
    "    cmpq 8(%r11), %r10\n"
    "    jne 2f\n"
    "    movl 48(%rsp), %r10d\n"
    "    cmpl 16(%r11), %r10d\n"
    "    jne 2f\n"
    // An open latch's handle (x86 loads are acquire loads).
    "    cmpl $0, " DEVICE_DONE "(%rax)\n"
    "    je 2f\n"
    "    movq " DEVICE_HANDLE "(%rax), %r10\n"
    "    movq %r10, (%rcx)\n"
    "    xorl %eax, %eax\n"
    "    ret\n"
    "2:  jmp dropin_open_slow\n"
    // Any other caller: the module cache, out of the answered path's way.
    // Entered by a jump, with the caller's return address on top of the
    // stack as if it had been called.
    "wm_open_check_caller:\n"
    ".seh_proc wm_open_check_caller\n"
    "    subq $72, %rsp\n"
    ".seh_stackalloc 72\n"
    ".seh_endprologue\n"
    "    movq %rcx, 32(%rsp)\n"
    "    movq %rdx, 40(%rsp)\n"
    "    movq %r8, 48(%rsp)\n"
    "    movq %r9, 56(%rsp)\n"
    "    movq 72(%rsp), %rcx\n"
    "    call caller_may_be_answered\n"
    "    testb %al, %al\n"
    "    movq 32(%rsp), %rcx\n"
    "    movq 40(%rsp), %rdx\n"
    "    movq 48(%rsp), %r8\n"
    "    movq 56(%rsp), %r9\n"
    "    jz 1f\n"
    "    addq $72, %rsp\n"
    "    jmp wm_open_answered\n"
    "1:  addq $72, %rsp\n"
    "    jmp wm_real_waveOutOpen\n"
    ".seh_endproc\n");
// clang-format on

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
