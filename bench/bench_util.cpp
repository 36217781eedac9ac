#include "bench_util.h"

#include <algorithm>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace bench {

const WAVEFORMATEX pcm_format = {WAVE_FORMAT_PCM, 2, 44100, 44100 * 4, 4, 16, 0};
char folder[MAX_PATH];
volatile DWORD sink;
bool emulated;

namespace {

const char *program_name = "bench";
double ticks_per_ns;

void usage() {
    fprintf(stderr, "usage: %s [--calls N] [--reps R] [--rounds K] [--emulated]\n", program_name);
    exit(2);
}

options parse(int argc, char **argv) {
    options opt;
    for (int i = 1; i < argc; i++) {
        if (!strcmp(argv[i], "--emulated")) {
            emulated = true;
            continue;
        }
        if (i + 1 == argc)
            usage();
        long v = atol(argv[i + 1]);
        if (v <= 0) {
            fprintf(stderr, "%s: %s needs a positive number\n", program_name, argv[i]);
            exit(2);
        }
        if (!strcmp(argv[i], "--calls"))
            opt.calls = (DWORD)v;
        else if (!strcmp(argv[i], "--reps"))
            opt.reps = (int)v;
        else if (!strcmp(argv[i], "--rounds"))
            opt.rounds = (int)v;
        else
            usage();
        i++;
    }
    return opt;
}

// The settings file a host typically ships: the documented comment and the
// debug log off.
void write_settings() {
    FILE *ini = fopen("sndlatch.ini", "w");
    if (!ini)
        fail("cannot write sndlatch.ini");
    fputs("# Debug_Log: nonzero starts \"sndlatch.log\" empty at each load and turns the\n"
          "# debug log on; 0 (the default) leaves every file alone.\n"
          "Debug_Log = 0\n",
          ini);
    fclose(ini);
}

#if defined(__i386__)
const char probe_option[] = "--probe-single-step";
[[noreturn]] void probe_single_step();
#endif

} // namespace

options start(int argc, char **argv, const char *program) {
    program_name = program;
#if defined(__i386__)
    if (argc == 2 && !strcmp(argv[1], probe_option))
        probe_single_step();
#endif
    options opt = parse(argc, argv);

    DWORD n = GetModuleFileNameA(NULL, folder, sizeof folder);
    if (n == 0 || n >= sizeof folder)
        fail("GetModuleFileName");
    *(strrchr(folder, '\\') + 1) = 0;
    if (!SetCurrentDirectoryA(folder))
        fail("SetCurrentDirectory");
    write_settings();

    LARGE_INTEGER freq;
    QueryPerformanceFrequency(&freq);
    ticks_per_ns = (double)freq.QuadPart / 1e9;

    // This thread is where the timing happens; keep it from being preempted
    // by ordinary work where the platform allows.
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_ABOVE_NORMAL);
    return opt;
}

void fail(const char *what) {
    fprintf(stderr, "%s: %s (error %lu)\n", program_name, what, GetLastError());
    fflush(stderr);
    ExitProcess(1);
}

LONGLONG now() {
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return t.QuadPart;
}

double to_ns(LONGLONG ticks) {
    return (double)ticks / ticks_per_ns;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

HMODULE load(const char *path) {
    HMODULE m = LoadLibraryA(path);
    if (!m)
        fail(path);
    return m;
}

FARPROC entry(HMODULE m, const char *name) {
    FARPROC f = GetProcAddress(m, name);
    if (!f)
        fail(name);
    return f;
}

// The same loop serves every open function and its floor: a call through a
// pointer that GetProcAddress gave, the slot on this thread's stack, the
// results summed into a register and written out once.
__attribute__((noinline)) DWORD call_loop(open_fn fn, DWORD calls) {
    HWAVEOUT slot = NULL;
    DWORD sum = 0;
    for (DWORD i = 0; i < calls; i++) {
        sum += fn(&slot, WAVE_MAPPER, &pcm_format, 0, 0, CALLBACK_NULL);
        sum += (DWORD)(ULONG_PTR)slot;
    }
    return sum;
}

double ns_per_call(open_fn fn, DWORD calls) {
    LONGLONG t0 = now();
    sink = call_loop(fn, calls);
    LONGLONG t1 = now();
    return to_ns(t1 - t0) / calls;
}

void answered_row(const char *what, const options &opt, open_fn answered, open_fn floor,
                  double goal) {
    side_by_side(what, opt.reps, goal, 1, [&](bool measured, bool warm_up) {
        // The warm-up translates the code and fills the caches.
        return ns_per_call(measured ? answered : floor, warm_up ? opt.calls / 10 : opt.calls);
    });
}

double load_free(const char *path, int rounds) {
    LONGLONG t0 = now();
    for (int i = 0; i < rounds; i++) {
        HMODULE m = LoadLibraryA(path);
        if (!m)
            fail(path);
        FreeLibrary(m);
    }
    LONGLONG t1 = now();
    return to_ns(t1 - t0) / rounds;
}

const char *wine_loader() {
    return emulated ? "qemu" : "native";
}

void row(const char *what, double value, double floor, double goal) {
    double ratio = value / floor;
    char limit[16];
    snprintf(limit, sizeof limit, "<=%.2f", goal);
    // Under an emulator a time says little about the machine: it is shown, not judged.
    printf("%-40s %12.2f %12.2f %7.2f %8s  %-6s %s\n", what, value, floor, ratio, limit,
           emulated        ? "-"
           : ratio <= goal ? "PASS"
                           : "MISS",
           wine_loader());
}

// ---- instructions per call ----------------------------------------------------

#if defined(__i386__)
// Single-stepping one call: i386 only, where the benchmarks count instructions.
namespace {

volatile LONG steps;          // single-step traps taken since the traced call began
void *volatile traced_return; // where the traced call returns to: stepping stops there

LONG CALLBACK count_step(EXCEPTION_POINTERS *e) {
    if (e->ExceptionRecord->ExceptionCode != EXCEPTION_SINGLE_STEP)
        return EXCEPTION_CONTINUE_SEARCH;
    steps++;
    // The trap flag is cleared when the trap is taken: set it again until
    // the call has returned.
    if ((void *)e->ContextRecord->Eip == traced_return)
        e->ContextRecord->EFlags &= ~0x100;
    else
        e->ContextRecord->EFlags |= 0x100;
    return EXCEPTION_CONTINUE_EXECUTION;
}

// Makes one call of `fn`, as call_loop does, with the trap flag set: the
// flag takes effect after the instruction that follows popfl, the call, and
// from then on every instruction traps once it has run, the callee's ret
// last. Returns the callee's instructions, the call itself not counted.
int traced_call(open_fn fn, HWAVEOUT *slot) {
    steps = 0;
    __asm__ volatile("pushl %[flags]\n\t"
                     "pushl $0\n\t"
                     "pushl $0\n\t"
                     "pushl %[format]\n\t"
                     "pushl %[device]\n\t"
                     "pushl %[slot]\n\t"
                     "movl $1f, %[ret]\n\t"
                     "pushfl\n\t"
                     "orl $0x100, (%%esp)\n\t"
                     "popfl\n\t"
                     "call *%[fn]\n"
                     "1:\n\t"
                     : [ret] "=m"(traced_return)
                     : [fn] "r"(fn), [slot] "r"(slot), [format] "r"(&pcm_format),
                       [device] "i"(WAVE_MAPPER), [flags] "i"(CALLBACK_NULL)
                     : "eax", "ecx", "edx", "memory", "cc");
    return steps - 1;
}

} // namespace

namespace {

// A call of exactly two instructions, traced by the probe.
extern "C" MMRESULT WINAPI probe_two_instructions(LPHWAVEOUT, UINT, LPCWAVEFORMATEX, DWORD_PTR,
                                                  DWORD_PTR, DWORD);
asm(".text\n"
    ".globl _probe_two_instructions@24\n"
    "_probe_two_instructions@24:\n"
    "    xorl %eax, %eax\n"
    "    ret $24\n");

// The child's side of single_step_works: traces the two-instruction call
// twice and exits 0 when both counts are right. Any exception that the
// tracing raises instead (qemu-i386 turns the trap flag into a breakpoint)
// ends the child with exit code 3 rather than a debugger.
LONG CALLBACK probe_failed(EXCEPTION_POINTERS *) {
    ExitProcess(3);
}

void probe_single_step() {
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    SetUnhandledExceptionFilter(probe_failed);
    PVOID handler = AddVectoredExceptionHandler(1, count_step);
    HWAVEOUT slot = NULL;
    int first = traced_call(probe_two_instructions, &slot);
    int again = traced_call(probe_two_instructions, &slot);
    RemoveVectoredExceptionHandler(handler);
    ExitProcess(handler && first == 2 && again == 2 ? 0 : 1);
}

} // namespace

// Whether single-stepping counts instructions in this process. A copy of
// this program tries it first: where the trap flag is not delivered as a
// single-step exception (Wine under qemu-i386), the attempt would end the
// process that made it. Asked once.
bool single_step_works() {
    static int works = -1;
    if (works >= 0)
        return works;
    char self[MAX_PATH], command[MAX_PATH + 32];
    DWORD n = GetModuleFileNameA(NULL, self, sizeof self);
    if (n == 0 || n >= sizeof self)
        fail("GetModuleFileName");
    snprintf(command, sizeof command, "\"%s\" %s", self, probe_option);
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    works = 0;
    if (CreateProcessA(self, command, NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi)) {
        DWORD code = 1;
        if (WaitForSingleObject(pi.hProcess, 120000) == WAIT_OBJECT_0 &&
            GetExitCodeProcess(pi.hProcess, &code))
            works = code == 0;
        else
            TerminateProcess(pi.hProcess, 1);
        CloseHandle(pi.hProcess);
        CloseHandle(pi.hThread);
    }
    return works;
}

int instructions_per_call(open_fn fn) {
    if (!single_step_works())
        return -1;
    HWAVEOUT slot = NULL;
    fn(&slot, WAVE_MAPPER, &pcm_format, 0, 0, CALLBACK_NULL);
    PVOID handler = AddVectoredExceptionHandler(1, count_step);
    if (!handler)
        fail("AddVectoredExceptionHandler");
    int first = traced_call(fn, &slot);
    int again = traced_call(fn, &slot);
    RemoveVectoredExceptionHandler(handler);
    if (first != again) {
        SetLastError(0);
        fail("single-stepping one call twice counted two different numbers of instructions");
    }
    return first;
}

#endif

void count_row(const char *what, int count, int floor, int goal) {
    if (count < 0 || floor < 0) {
        printf("%-40s %-50s %s\n", what, "not counted here (single-step unavailable)",
               wine_loader());
        return;
    }
    char limit[16];
    snprintf(limit, sizeof limit, "<=%d", goal);
    printf("%-40s %12d %12d %7.2f %8s  %-6s %s\n", what, count, floor, (double)count / floor, limit,
           count <= goal ? "PASS" : "MISS", wine_loader());
}

void difference(const char *what, double value, double floor, double goal) {
    char limit[16];
    snprintf(limit, sizeof limit, "<=+%.0f", goal);
    printf("%-40s %12.2f %12.2f %+7.1f %8s  %-6s %s\n", what, value, floor, value - floor, limit,
           emulated                ? "-"
           : value - floor <= goal ? "PASS"
                                   : "MISS",
           wine_loader());
}

void note(const char *what, const char *text) {
    printf("%-40s %s\n", what, text);
}

} // namespace bench
