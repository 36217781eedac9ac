#include "bench_util.h"

#include <algorithm>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace bench {

const WAVEFORMATEX pcm_format = {WAVE_FORMAT_PCM, 2, 44100, 44100 * 4, 4, 16, 0};
char folder[MAX_PATH];
volatile DWORD sink;

namespace {

const char *program_name = "bench";
double ticks_per_ns;

void usage() {
    fprintf(stderr, "usage: %s [--calls N] [--reps R] [--rounds K]\n", program_name);
    exit(2);
}

options parse(int argc, char **argv) {
    options opt;
    if (argc % 2 == 0)
        usage();
    for (int i = 1; i + 1 < argc; i += 2) {
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

} // namespace

options start(int argc, char **argv, const char *program) {
    program_name = program;
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

void answered_row(const char *what, const options &opt, open_fn answered, open_fn floor) {
    side_by_side(what, opt.reps, 1.5, 1, [&](bool measured, bool warm_up) {
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

void row(const char *what, double value, double floor, double goal) {
    double ratio = value / floor;
    char limit[16];
    snprintf(limit, sizeof limit, "<=%.2f", goal);
    printf("%-40s %12.2f %12.2f %7.2f %8s  %s\n", what, value, floor, ratio, limit,
           ratio <= goal ? "PASS" : "MISS");
}

void note(const char *what, const char *text) {
    printf("%-40s %s\n", what, text);
}

} // namespace bench
