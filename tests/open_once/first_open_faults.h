// What the tests of a first open that goes wrong need: raising an exception
// and catching it the way a program's own __except does (the frames in
// between are unwound), and running a step on a thread of its own with a time
// limit, so that an open that never returns fails the test instead of
// stopping it.
#pragma once

#include <windows.h>

#if defined(__x86_64__)
// On x86-64 a C++ exception is raised and unwound by the system's table-based
// handling, through every frame in between, as __except unwinds them.
[[noreturn]] inline void raise_through(DWORD code) {
    throw code;
}

// Calls f() and returns the code of an exception that left it, or 0.
template <class F> DWORD catch_exception(F f) {
    try {
        f();
    } catch (DWORD code) {
        return code;
    }
    return 0;
}
#else
inline void raise_through(DWORD code) {
    RaiseException(code, 0, 0, NULL);
}

// An SEH frame of the catching function, on its stack: the record the system
// walks, then what the handler needs to resume there.
struct seh_catch_frame {
    seh_catch_frame *next;
    void *handler;
    DWORD ebp;  // the catching function's frame pointer
    DWORD code; // the exception caught; 0 while none was
};

extern "C" void seh_catch_resume(void);

// On the first pass over the frame: unwinds every frame registered after it,
// as __except does, and resumes the catching function at seh_catch_resume.
extern "C" EXCEPTION_DISPOSITION __cdecl seh_catch_handler(EXCEPTION_RECORD *record, void *frame,
                                                           CONTEXT *context, void *) {
    if (record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND))
        return ExceptionContinueSearch;
    seh_catch_frame *f = (seh_catch_frame *)frame;
    f->code = record->ExceptionCode;
    RtlUnwind(frame, NULL, record, NULL);
    context->Ebp = f->ebp;
    context->Esp = (DWORD)frame;
    context->Eip = (DWORD)seh_catch_resume;
    return ExceptionContinueExecution;
}

// DWORD seh_catch(void (*fn)(void *), void *arg): calls fn(arg) and returns
// the code of an exception that left it, or 0 when it returned.
asm(".text\n"
    ".globl _seh_catch\n"
    "_seh_catch:\n"
    "    pushl %ebp\n"
    "    movl %esp, %ebp\n"
    "    pushl %ebx\n"
    "    pushl %esi\n"
    "    pushl %edi\n"
    "    pushl $0\n"
    "    pushl %ebp\n"
    "    pushl $_seh_catch_handler\n"
    "    pushl %fs:0\n"
    "    movl %esp, %fs:0\n"
    "    pushl 12(%ebp)\n"
    "    call *8(%ebp)\n"
    ".globl _seh_catch_resume\n"
    "_seh_catch_resume:\n"
    "    leal -28(%ebp), %esp\n"
    "    popl %fs:0\n"
    "    addl $8, %esp\n"
    "    popl %eax\n"
    "    popl %edi\n"
    "    popl %esi\n"
    "    popl %ebx\n"
    "    popl %ebp\n"
    "    ret\n");
extern "C" DWORD seh_catch(void (*fn)(void *), void *arg);

template <class F> static void seh_catch_thunk(void *f) {
    (*(F *)f)();
}

// Calls f() and returns the code of an exception that left it, or 0.
template <class F> DWORD catch_exception(F f) {
    return seh_catch(seh_catch_thunk<F>, &f);
}

#endif

template <class F> static DWORD WINAPI finish_thunk(LPVOID f) {
    (*(F *)f)();
    return 0;
}

// Runs f() on a new thread and waits for it up to `ms`. False when it did not
// finish: the thread is then ended where it hangs.
template <class F> bool finishes_within(DWORD ms, F f) {
    HANDLE thread = CreateThread(NULL, 0, finish_thunk<F>, &f, 0, NULL);
    if (!thread)
        return false;
    bool finished = WaitForSingleObject(thread, ms) == WAIT_OBJECT_0;
    if (!finished) {
        TerminateThread(thread, 1);
        WaitForSingleObject(thread, INFINITE);
    }
    CloseHandle(thread);
    return finished;
}
