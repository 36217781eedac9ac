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

#include "bench_util.h"

#include <stdio.h>
#include <string.h>
#include <vector>

using namespace bench;

namespace {

char sndlatch_path[MAX_PATH];
char floor_path[MAX_PATH];

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
    printf("%-40s %12s %12s %7s %8s  %-6s %s\n", "measurement", "sndlatch", "floor", "ratio",
           "goal", "result", "Wine");
    printf("%-40s %12s %12s %7s %8s  %-6s %s\n", "----------------------------------------",
           "------------", "------------", "-------", "--------", "------", "------");
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
    open_fn fn = through_sndlatch ? open_entry(m, "sndlatch") : waveOutOpen;
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

void load_row(const options &opt) {
    side_by_side("4 LoadLibrary + FreeLibrary, us", opt.reps, 2.0, 1e-3, [&](bool sndlatch, bool) {
        return load_free(sndlatch ? sndlatch_path : floor_path, opt.rounds);
    });
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
    printf("%-40s %12lld %12lld %7s %8s  %-6s %s\n", "5 DLL size, bytes (goal: bytes)", s, f, "-",
           "<=6144", s <= 6144 ? "PASS" : "MISS", wine_loader());
}

// ---- set-up --------------------------------------------------------------------

} // namespace

int main(int argc, char **argv) {
    options opt = start(argc, argv, "sndlatch_bench");
    snprintf(sndlatch_path, sizeof sndlatch_path, "%ssndlatch.dll", folder);
    snprintf(floor_path, sizeof floor_path, "%sbench_floor.dll", folder);

    print_header(opt);
    fflush(stdout);

    // Wine starts its service processes with the first program in a prefix;
    // let their start-up work finish before anything is timed.
    Sleep(3000);

    // The answered rows need sndlatch Opened: one real open first, kept for
    // the whole measurement and closed afterwards.
    HMODULE answered_module = load(sndlatch_path);
    HMODULE floor_module = load(floor_path);
    open_fn answered = open_entry(answered_module, "sndlatch");
    open_fn floor = open_entry(floor_module, "floor_open");
    HWAVEOUT device = NULL;
    if (answered(&device, WAVE_MAPPER, &pcm_format, 0, 0, CALLBACK_NULL) != MMSYSERR_NOERROR)
        fail("the first open through sndlatch failed");

    answered_row("1 answered call, ns/call", opt, answered, floor, 1.25);
    count_row("1 answered call, instructions", instructions_per_call(answered),
              instructions_per_call(floor), 12);
    fflush(stdout);
    contention(opt, answered, floor);
    fflush(stdout);

    waveOutClose(device);
    FreeLibrary(answered_module);
    FreeLibrary(floor_module);

    first_call(opt);
    fflush(stdout);
    load_row(opt);
    size();
    fflush(stdout);
    return 0;
}
