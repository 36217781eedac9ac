// Measures what each path of sndlatch.dll costs, side by side with the floor
// the platform allows, in one run so that the machine's noise cancels:
//
//   sndlatch_bench [--calls N] [--reps R] [--rounds K]
//
// N answered calls per repetition (default 10^7), R repetitions (default 15),
// K opens of each kind and K load and free pairs per repetition (default 20).
//
// It works in its own folder, beside sndlatch.dll and bench_floor.dll, and
// writes a typical "sndlatch.ini" there first. Each figure is the median of
// the R repetitions, taken after a warm-up, with the two sides of a row
// measured in turn so that drift hits both alike. It prints one table; the
// patcher's row is added by bench/patch_time.sh, which runs on the build
// machine. The exit code is 0 whether goals are met or missed, and 1 only when
// a measurement could not be made.

#include <windows.h>
#include <mmsystem.h>

#include <algorithm>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <vector>

typedef MMRESULT(WINAPI *open_fn)(LPHWAVEOUT, UINT, LPCWAVEFORMATEX, DWORD_PTR, DWORD_PTR, DWORD);

namespace {

struct options {
    DWORD calls = 10000000; // answered calls per repetition
    int reps = 15;          // repetitions per figure; the median is shown
    int rounds = 20;        // opens, and load and free pairs, per repetition
};

const WAVEFORMATEX pcm_format = {WAVE_FORMAT_PCM, 2, 44100, 44100 * 4, 4, 16, 0};

char folder[MAX_PATH]; // this program's folder, with a trailing backslash
char sndlatch_path[MAX_PATH];
char floor_path[MAX_PATH];
double ticks_per_ns;

volatile DWORD sink; // results land here so no call is optimised away

[[noreturn]] void fail(const char *what) {
    fprintf(stderr, "sndlatch_bench: %s (error %lu)\n", what, GetLastError());
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

open_fn entry(HMODULE m, const char *name) {
    open_fn f = (open_fn)(void *)GetProcAddress(m, name);
    if (!f)
        fail(name);
    return f;
}

// ---- the table ---------------------------------------------------------------

void print_header(const options &opt) {
    SYSTEMTIME st;
    GetSystemTime(&st);
    SYSTEM_INFO si;
    GetSystemInfo(&si);

    char cpu[256] = "unknown CPU";
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0", 0,
                      KEY_READ, &key) == ERROR_SUCCESS) {
        DWORD size = sizeof cpu - 1;
        DWORD type;
        if (RegQueryValueExA(key, "ProcessorNameString", NULL, &type, (BYTE *)cpu, &size) !=
                ERROR_SUCCESS ||
            type != REG_SZ)
            strcpy(cpu, "unknown CPU");
        RegCloseKey(key);
    }

    typedef const char *(CDECL * version_fn)(void);
    version_fn wine_version =
        (version_fn)(void *)GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version");

    printf("date     %04u-%02u-%02u %02u:%02u UTC\n", st.wYear, st.wMonth, st.wDay, st.wHour,
           st.wMinute);
    printf("machine  %s, %lu processors\n", cpu, si.dwNumberOfProcessors);
    printf("Wine     %s\n", wine_version ? wine_version() : "not Wine");
    printf("figures  median of %d repetitions, after a warm-up; per repetition: %lu answered\n"
           "         calls (row 2: %lu per thread), %d opens of each kind, %d loads and frees\n\n",
           opt.reps, opt.calls, opt.calls * 3, opt.rounds, opt.rounds);
    printf("%-40s %12s %12s %7s %8s  %s\n", "measurement", "sndlatch", "floor", "ratio", "goal",
           "result");
    printf("%-40s %12s %12s %7s %8s  %s\n", "----------------------------------------",
           "------------", "------------", "-------", "--------", "------");
}

// One row: the measured side, its floor, their ratio and the goal on it.
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

// ---- 1. the answered call ------------------------------------------------------

// The same loop serves sndlatch and the floor: a call through a pointer that
// GetProcAddress gave, the slot on this thread's stack, the results summed
// into a register and written out once.
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

void answered_call(const options &opt, open_fn answered, open_fn floor) {
    ns_per_call(answered, opt.calls / 10); // warm-up: code translated, caches filled
    ns_per_call(floor, opt.calls / 10);
    std::vector<double> a, f;
    for (int r = 0; r < opt.reps; r++) {
        a.push_back(ns_per_call(answered, opt.calls));
        f.push_back(ns_per_call(floor, opt.calls));
    }
    row("1 answered call, ns/call", median(a), median(f), 1.5);
}

// ---- 2. contention -----------------------------------------------------------

LONGLONG thread_cpu_100ns() {
    FILETIME created, exited, kernel, user;
    if (!GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user))
        fail("GetThreadTimes");
    ULARGE_INTEGER k = {{kernel.dwLowDateTime, kernel.dwHighDateTime}};
    ULARGE_INTEGER u = {{user.dwLowDateTime, user.dwHighDateTime}};
    return (LONGLONG)(k.QuadPart + u.QuadPart);
}

struct alignas(64) worker {
    open_fn fn;
    DWORD calls;
    volatile LONG *ready;
    volatile LONG *go;
    double wall_ns; // this thread's elapsed time per call
    double cpu_ns;  // this thread's own processor time per call
};

DWORD WINAPI worker_main(LPVOID p) {
    worker *w = (worker *)p;
    InterlockedIncrement(w->ready);
    while (!*w->go)
        YieldProcessor();
    LONGLONG c0 = thread_cpu_100ns();
    LONGLONG t0 = now();
    sink = call_loop(w->fn, w->calls);
    LONGLONG t1 = now();
    LONGLONG c1 = thread_cpu_100ns();
    w->wall_ns = to_ns(t1 - t0) / w->calls;
    w->cpu_ns = (double)(c1 - c0) * 100 / w->calls;
    return 0;
}

// Runs `threads` threads at once, each making `calls` calls of `fn`, and
// fills one worker record per thread. The 1-thread case runs in a thread of
// its own too, so both cases take the same path. Each slot is on its own
// thread's stack and each record on its own cache line, so the benchmark
// itself shares no written memory between the threads.
std::vector<worker> run_threads(open_fn fn, DWORD calls, int threads) {
    std::vector<worker> w(threads);
    std::vector<HANDLE> h(threads);
    volatile LONG ready = 0, go = 0;
    for (int i = 0; i < threads; i++) {
        w[i].fn = fn;
        w[i].calls = calls;
        w[i].ready = &ready;
        w[i].go = &go;
        h[i] = CreateThread(NULL, 0, worker_main, &w[i], 0, NULL);
        if (!h[i])
            fail("CreateThread");
    }
    while (ready != threads)
        Sleep(0);
    InterlockedExchange(&go, 1);
    WaitForMultipleObjects(threads, h.data(), TRUE, INFINITE);
    for (int i = 0; i < threads; i++)
        CloseHandle(h[i]);
    return w;
}

// Medians over the repetitions of one function run with 1 and with 2 threads.
struct scaling {
    std::vector<double> rate[2][2]; // [threads - 1][thread]: calls per second
    std::vector<double> wall[2];    // [threads - 1]: mean wall ns/call of the threads
    std::vector<double> cpu[2];     // [threads - 1]: mean processor ns/call of the threads

    void add(int threads, const std::vector<worker> &w) {
        double wall_sum = 0, cpu_sum = 0;
        for (int k = 0; k < threads; k++) {
            rate[threads - 1][k].push_back(1e9 / w[k].wall_ns);
            wall_sum += w[k].wall_ns;
            cpu_sum += w[k].cpu_ns;
        }
        wall[threads - 1].push_back(wall_sum / threads);
        cpu[threads - 1].push_back(cpu_sum / threads);
    }
};

void contention(const options &opt, open_fn answered, open_fn floor) {
    SYSTEM_INFO si;
    GetSystemInfo(&si);
    if (si.dwNumberOfProcessors < 2) {
        note("2 contention", "skipped: this machine has 1 processor");
        return;
    }

    // Processor time comes in scheduler ticks (10 ms under Wine), so each
    // thread runs three times as many calls as row 1 to keep a tick small
    // against the whole.
    const DWORD calls = opt.calls * 3;
    run_threads(answered, calls / 10, 2); // warm-up
    run_threads(floor, calls / 10, 2);
    scaling s, f;
    for (int r = 0; r < opt.reps; r++) {
        for (int threads = 1; threads <= 2; threads++) {
            s.add(threads, run_threads(answered, calls, threads));
            f.add(threads, run_threads(floor, calls, threads));
        }
    }

    char text[128];
    snprintf(text, sizeof text, "%.2f M", median(s.rate[0][0]) / 1e6);
    note("2 calls/s per thread, 1 thread", text);
    snprintf(text, sizeof text, "%.2f M, %.2f M", median(s.rate[1][0]) / 1e6,
             median(s.rate[1][1]) / 1e6);
    note("2 calls/s per thread, 2 threads", text);
    // The goal is judged on each thread's own processor time, which another
    // program on the machine cannot inflate; elapsed time is shown beside it,
    // with the floor DLL's own 2-thread slowdown to tell the two apart.
    row("2 CPU ns/call, 2 threads (floor: 1)", median(s.cpu[1]), median(s.cpu[0]), 1.5);
    snprintf(text, sizeof text, "%.2f / %.2f = %.2f; floor DLL: %.2f", median(s.wall[1]),
             median(s.wall[0]), median(s.wall[1]) / median(s.wall[0]),
             median(f.wall[1]) / median(f.wall[0]));
    note("2 elapsed ns/call, 2 threads / 1", text);
}

// ---- 3. the first call ---------------------------------------------------------

// One real open, through sndlatch or directly with WINMM's waveOutOpen. Both
// ways load sndlatch.dll afresh first and free it after the close, so that
// everything around the timed call is the same; only the call is timed.
double open_once_timed(bool through_sndlatch) {
    HMODULE m = load(sndlatch_path);
    open_fn fn = through_sndlatch ? entry(m, "sndlatch") : waveOutOpen;
    HWAVEOUT h = NULL;
    LONGLONG t0 = now();
    MMRESULT r = fn(&h, WAVE_MAPPER, &pcm_format, 0, 0, CALLBACK_NULL);
    LONGLONG t1 = now();
    if (r != MMSYSERR_NOERROR) {
        SetLastError(r);
        fail(through_sndlatch ? "open through sndlatch failed" : "direct waveOutOpen failed");
    }
    waveOutClose(h);
    FreeLibrary(m);
    return to_ns(t1 - t0);
}

void first_call(const options &opt) {
    for (int i = 0; i < 3; i++) {
        open_once_timed(false);
        open_once_timed(true);
    }
    // A platform open takes either a few milliseconds or much longer,
    // depending on where it lands against Wine's audio and service threads
    // and on the rest of the machine, so opens are many and in pairs: each
    // repetition makes `rounds` pairs, in alternating order.
    std::vector<double> s, d;
    for (int r = 0; r < opt.reps; r++) {
        for (int i = 0; i < opt.rounds; i++) {
            bool first = (i + r) % 2 == 0;
            double a = open_once_timed(first);
            double b = open_once_timed(!first);
            s.push_back(first ? a : b);
            d.push_back(first ? b : a);
        }
    }
    // What sndlatch adds is the median of the differences between every
    // sndlatch open and every direct open: with two spreads this wide and this
    // alike, it moves far less from run to run than the difference of the two
    // medians does. The sndlatch column is the direct median plus that.
    std::vector<double> diff;
    diff.reserve(s.size() * d.size());
    for (double x : s)
        for (double y : d)
            diff.push_back(x - y);
    double direct = median(d);
    row("3 first call (real open), us", (direct + median(diff)) / 1e3, direct / 1e3, 1.05);
    char text[128];
    snprintf(text, sizeof text, "%zu opens each; plain medians %.2f / %.2f us", s.size(),
             median(s) / 1e3, direct / 1e3);
    note("", text);
}

// ---- 4. load -------------------------------------------------------------------

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

void load(const options &opt) {
    load_free(sndlatch_path, opt.rounds); // warm-up: files in the cache
    load_free(floor_path, opt.rounds);
    std::vector<double> s, f;
    for (int r = 0; r < opt.reps; r++) {
        s.push_back(load_free(sndlatch_path, opt.rounds));
        f.push_back(load_free(floor_path, opt.rounds));
    }
    row("4 LoadLibrary + FreeLibrary, us", median(s) / 1e3, median(f) / 1e3, 2.0);
}

// ---- 5. size -------------------------------------------------------------------

LONGLONG file_size(const char *path) {
    WIN32_FILE_ATTRIBUTE_DATA a;
    if (!GetFileAttributesExA(path, GetFileExInfoStandard, &a))
        fail(path);
    return ((LONGLONG)a.nFileSizeHigh << 32) | a.nFileSizeLow;
}

void size() {
    LONGLONG s = file_size(sndlatch_path), f = file_size(floor_path);
    printf("%-40s %12lld %12lld %7s %8s  %s\n", "5 DLL size, bytes (goal: bytes)", s, f, "-",
           "<=6144", s <= 6144 ? "PASS" : "MISS");
}

// ---- set-up --------------------------------------------------------------------

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

options parse(int argc, char **argv) {
    options opt;
    for (int i = 1; i + 1 < argc; i += 2) {
        long v = atol(argv[i + 1]);
        if (v <= 0) {
            fprintf(stderr, "sndlatch_bench: %s needs a positive number\n", argv[i]);
            exit(2);
        }
        if (!strcmp(argv[i], "--calls"))
            opt.calls = (DWORD)v;
        else if (!strcmp(argv[i], "--reps"))
            opt.reps = (int)v;
        else if (!strcmp(argv[i], "--rounds"))
            opt.rounds = (int)v;
        else {
            fprintf(stderr, "usage: sndlatch_bench [--calls N] [--reps R] [--rounds K]\n");
            exit(2);
        }
    }
    if (argc % 2 == 0) {
        fprintf(stderr, "usage: sndlatch_bench [--calls N] [--reps R] [--rounds K]\n");
        exit(2);
    }
    return opt;
}

} // namespace

int main(int argc, char **argv) {
    options opt = parse(argc, argv);

    DWORD n = GetModuleFileNameA(NULL, folder, sizeof folder);
    if (n == 0 || n >= sizeof folder)
        fail("GetModuleFileName");
    *(strrchr(folder, '\\') + 1) = 0;
    snprintf(sndlatch_path, sizeof sndlatch_path, "%ssndlatch.dll", folder);
    snprintf(floor_path, sizeof floor_path, "%sbench_floor.dll", folder);
    // sndlatch.dll reads its settings from the current directory at load.
    if (!SetCurrentDirectoryA(folder))
        fail("SetCurrentDirectory");
    write_settings();

    LARGE_INTEGER freq;
    QueryPerformanceFrequency(&freq);
    ticks_per_ns = (double)freq.QuadPart / 1e9;

    // This thread is where the timing happens; keep it from being preempted
    // by ordinary work where the platform allows.
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_ABOVE_NORMAL);

    print_header(opt);
    fflush(stdout);

    // Wine starts its service processes with the first program in a prefix;
    // let their start-up work finish before anything is timed.
    Sleep(3000);

    // The answered rows need sndlatch Opened: one real open first, kept for
    // the whole measurement and closed afterwards.
    HMODULE answered_module = load(sndlatch_path);
    HMODULE floor_module = load(floor_path);
    open_fn answered = entry(answered_module, "sndlatch");
    open_fn floor = entry(floor_module, "floor_open");
    HWAVEOUT device = NULL;
    if (answered(&device, WAVE_MAPPER, &pcm_format, 0, 0, CALLBACK_NULL) != MMSYSERR_NOERROR)
        fail("the first open through sndlatch failed");

    answered_call(opt, answered, floor);
    fflush(stdout);
    contention(opt, answered, floor);
    fflush(stdout);

    waveOutClose(device);
    FreeLibrary(answered_module);
    FreeLibrary(floor_module);

    first_call(opt);
    fflush(stdout);
    load(opt);
    size();
    fflush(stdout);
    return 0;
}
