// The first-open protocol of a latch: one thread at a time calls the
// platform, and only a successful open is remembered.
//
// The platform call runs inside a structured exception handling frame of the
// latch's own. An exception that leaves the call (a fault in the platform, or
// a WOM_OPEN callback that raises) unwinds that frame, which lets the latch go
// as if the open had failed: the next open reaches the platform again instead
// of waiting for ever.

#include "latch.h"

// The calling thread's id, read from its thread environment block (the
// ClientId.UniqueThread that GetCurrentThreadId returns) so that the module
// imports nothing for it.
static LONG current_thread_id() {
#if defined(__x86_64__)
    ULONG_PTR id;
    __asm__("movq %%gs:0x48, %0" : "=r"(id));
#else
    ULONG_PTR id;
    __asm__("movl %%fs:0x24, %0" : "=r"(id));
#endif
    return (LONG)id;
}

// Waits until no other thread is inside the latch's first open and makes this
// thread the one. False when this thread is inside it already.
static bool enter_first_open(open_latch *latch) {
    LONG self = current_thread_id();
    // Contention is only possible during a first open, which is rare and
    // short, so a yielding spin is enough and needs no set-up or tear-down.
    for (;;) {
        LONG owner = InterlockedCompareExchange(&latch->owner, self, 0);
        if (owner == 0)
            return true;
        if (owner == self)
            return false;
        Sleep(1);
    }
}

static void leave_first_open(open_latch *latch) {
    InterlockedExchange(&latch->owner, 0);
}

#if defined(__x86_64__)

// x86-64: the frame is described by unwind data, so the call goes through a
// small function whose .seh_handler is called when an unwind passes it. That
// function keeps the latch in its own stack slot at 32(%rsp), above the home
// space of its callee; the handler finds it there from the establisher frame,
// which is %rsp after the prologue.
extern "C" MMRESULT latch_guarded_call(open_latch *latch, latch_open_fn open, void *context,
                                       const wave_open_args *args);

extern "C" EXCEPTION_DISPOSITION latch_release_on_unwind(EXCEPTION_RECORD *record, void *frame,
                                                         CONTEXT *, void *) {
    if (record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND))
        leave_first_open(*(open_latch **)((char *)frame + 32));
    return ExceptionContinueSearch;
}

asm(".text\n"
    ".globl latch_guarded_call\n"
    ".def latch_guarded_call; .scl 2; .type 32; .endef\n"
    ".seh_proc latch_guarded_call\n"
    "latch_guarded_call:\n"
    "    .seh_handler latch_release_on_unwind, @unwind\n"
    "    subq $40, %rsp\n"
    "    .seh_stackalloc 40\n"
    "    .seh_endprologue\n"
    "    movq %rcx, 32(%rsp)\n"
    "    movq %rdx, %rax\n"
    "    movq %r8, %rcx\n"
    "    movq %r9, %rdx\n"
    "    callq *%rax\n"
    // The return address must lie inside this function for the unwinder.
    "    nop\n"
    "    addq $40, %rsp\n"
    "    ret\n"
    ".seh_endproc\n");

static MMRESULT guarded_open(open_latch *latch, latch_open_fn open, void *context,
                             const wave_open_args *args) {
    return latch_guarded_call(latch, open, context, args);
}

#else

// i386: a frame of the thread's handler chain (fs:[0]), registered on this
// stack for the length of the call, as every SEH frame is: the record the
// system walks (next, handler) followed by the latch.
struct guard_frame {
    guard_frame *next; // the frame registered before this one
    EXCEPTION_DISPOSITION(__cdecl *handler)(EXCEPTION_RECORD *, void *, CONTEXT *, void *);
    open_latch *latch; // the latch whose first open this frame guards
};

// Called with the frame when an exception is dispatched past it (nothing to
// do: search on) and when the stack is unwound past it (let the latch go).
static EXCEPTION_DISPOSITION __cdecl release_on_unwind(EXCEPTION_RECORD *record, void *frame,
                                                       CONTEXT *, void *) {
    if (record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND))
        leave_first_open(((guard_frame *)frame)->latch);
    return ExceptionContinueSearch;
}

static guard_frame *handler_chain() {
    guard_frame *head;
    __asm__ volatile("movl %%fs:0, %0" : "=r"(head)::"memory");
    return head;
}

// The memory clobber keeps the frame's fields written before it is linked in.
static void set_handler_chain(guard_frame *head) {
    __asm__ volatile("movl %0, %%fs:0" ::"r"(head) : "memory");
}

static MMRESULT guarded_open(open_latch *latch, latch_open_fn open, void *context,
                             const wave_open_args *args) {
    guard_frame frame;
    frame.next = handler_chain();
    frame.handler = release_on_unwind;
    frame.latch = latch;
    set_handler_chain(&frame);
    MMRESULT result = open(context, args);
    // An unwind past the frame unlinks it; a return unlinks it here.
    set_handler_chain(frame.next);
    return result;
}

#endif

MMRESULT latch_open(open_latch *latch, latch_open_fn open, void *context,
                    const wave_open_args *args, latch_outcome *outcome) {
    if (!enter_first_open(latch)) {
        *outcome = latch_reentered;
        return MMSYSERR_NOERROR;
    }
    MMRESULT result;
    if (latch_answer(latch, args->phwo)) {
        // Another thread opened the device while this one waited.
        *outcome = latch_answered;
        result = MMSYSERR_NOERROR;
    } else {
        *outcome = latch_opened;
        result = guarded_open(latch, open, context, args);
        // A failed open is not remembered: the next request tries the platform again.
        if (result == MMSYSERR_NOERROR) {
            latch->handle = *args->phwo;
            __atomic_store_n(&latch->done, 1, __ATOMIC_RELEASE);
        }
    }
    leave_first_open(latch);
    return result;
}

void latch_forget(open_latch *latch) {
    __atomic_store_n(&latch->done, 0, __ATOMIC_RELEASE);
}
