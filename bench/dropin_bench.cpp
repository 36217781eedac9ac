// Measures the drop-in winmm.dll beside its floors and prints its rows of the
// benchmark table, after sndlatch_bench's: rows 6 to 8 for the 32-bit
// drop-in, and, built for x86-64 (run in a 64-bit Wine prefix), rows 9 and 10
// for the 64-bit one, whose load is not timed:
//
//   dropin_bench [--calls N] [--reps R] [--rounds K]     (options as sndlatch_bench)
//
// It sits in a folder of its own beside the drop-in (winmm.dll) and
// bench_floor.dll, runs with WINEDLLOVERRIDES="winmm=n,b", and loads both
// winmm DLLs by full path: the drop-in from its folder, the platform's from
// the system directory. It is a program of its own, importing nothing from
// winmm, because of what Wine 8's loader does with two modules of one name
// (found by experiment):
// - A program that imports winmm, run with the override, binds that import to
//   a winmm.dll in its own folder, which would turn sndlatch_bench's direct
//   calls into calls through the drop-in.
// - Without the override, LoadLibrary of the drop-in's full path returns the
//   builtin winmm (and even names it by that path); main() checks for this.
// - With the override, both full-path loads give two modules, in either
//   order. But in a process whose imports hold the platform's winmm, loading
//   it again only counts a reference, so row 6 could not load it for real.

#include "bench_util.h"

#include <stdio.h>
#include <string.h>

using namespace bench;

namespace {

typedef DWORD(WINAPI *time_fn)(void);

#if defined(__x86_64__)
const bool time_the_load = false;
const char *const answered_label = "9 64-bit drop-in answered open, ns/call";
const char *const passed_on_label = "10 64-bit drop-in timeGetTime, ns/call";
#else
const bool time_the_load = true;
const char *const answered_label = "7 drop-in answered open, ns/call";
const char *const passed_on_label = "8 drop-in timeGetTime, ns/call";
#endif

char dropin_path[MAX_PATH];
char floor_path[MAX_PATH];
char system_path[MAX_PATH];

__attribute__((noinline)) DWORD time_loop(time_fn fn, DWORD calls) {
    DWORD sum = 0;
    for (DWORD i = 0; i < calls; i++)
        sum += fn();
    return sum;
}

double ns_per_time_call(time_fn fn, DWORD calls) {
    LONGLONG t0 = now();
    sink = time_loop(fn, calls);
    LONGLONG t1 = now();
    return to_ns(t1 - t0) / calls;
}

// Loads and frees the drop-in and the platform's winmm, while neither is
// loaded. The drop-in imports only what every program has loaded already and
// loads the platform's winmm at its first passed-on call, not here.
void load_row(const options &opt) {
    side_by_side("6 drop-in LoadLibrary+FreeLibrary, us", opt.reps, 1.0, 1e-3,
                 [&](bool dropin, bool) {
                     return load_free(dropin ? dropin_path : system_path, opt.rounds);
                 });
    note("", "floor: the platform's winmm.dll alone");
}

// timeGetTime through the drop-in's export slot against the platform's own.
// It reaches the system clock, which costs far more than an answered open
// (much more under qemu), so it runs a tenth of the calls.
void passed_on_row(const options &opt, time_fn through, time_fn direct) {
    DWORD calls = opt.calls / 10;
    side_by_side(passed_on_label, opt.reps, 1.1, 1, [&](bool dropin, bool warm_up) {
        return ns_per_time_call(dropin ? through : direct, warm_up ? calls / 10 : calls);
    });
    char text[96];
    snprintf(text, sizeof text, "floor: the platform's own, called directly; %lu calls", calls);
    note("", text);
}

} // namespace

int main(int argc, char **argv) {
    options opt = start(argc, argv, "dropin_bench");
    snprintf(dropin_path, sizeof dropin_path, "%swinmm.dll", folder);
    snprintf(floor_path, sizeof floor_path, "%sbench_floor.dll", folder);
    UINT n = GetSystemDirectoryA(system_path, MAX_PATH - 16);
    if (n == 0 || n >= MAX_PATH - 16)
        fail("GetSystemDirectory");
    strcat(system_path, "\\winmm.dll");

    HMODULE dropin = load(dropin_path);
    HMODULE platform = load(system_path);
    if (dropin == platform) {
        SetLastError(0);
        fail("winmm.dll beside this program was loaded as the platform's winmm; under Wine run "
             "with WINEDLLOVERRIDES=\"winmm=n,b\"");
    }
    FreeLibrary(dropin);
    FreeLibrary(platform);
    if (GetModuleHandleA(dropin_path) || GetModuleHandleA(system_path)) {
        SetLastError(0);
        fail("a winmm.dll stays loaded, so its load cannot be timed");
    }
    if (time_the_load) {
        load_row(opt);
        fflush(stdout);
    }

    // The answered and passed-on rows need the drop-in with a device open.
    dropin = load(dropin_path);
    platform = load(system_path);
    HMODULE floor_module = load(floor_path);
    open_fn answered = open_entry(dropin, "waveOutOpen");
    HWAVEOUT device = NULL, again = NULL;
    if (answered(&device, WAVE_MAPPER, &pcm_format, 0, 0, CALLBACK_NULL) != MMSYSERR_NOERROR)
        fail("the first open through the drop-in failed");
    if (answered(&again, WAVE_MAPPER, &pcm_format, 0, 0, CALLBACK_NULL) != MMSYSERR_NOERROR ||
        again != device) {
        SetLastError(0);
        fail("the drop-in did not answer the second open with the first handle");
    }
    // The drop-in's waveOutOpen once it holds a device, asked as call_loop
    // asks (the same format, CALLBACK_NULL) and so with the same format and
    // target as the latest open, against the empty function.
    open_fn floor = open_entry(floor_module, "floor_open");
    answered_row(answered_label, opt, answered, floor, 2.0);
    note("", "the same format and target as the latest open");
#if !defined(__x86_64__)
    count_row("7 drop-in answered open, instructions", instructions_per_call(answered),
              instructions_per_call(floor), 40);
#endif
    fflush(stdout);
    passed_on_row(opt, (time_fn)(void *)entry(dropin, "timeGetTime"),
                  (time_fn)(void *)entry(platform, "timeGetTime"));
    fflush(stdout);

    ((MMRESULT(WINAPI *)(HWAVEOUT))(void *)entry(dropin, "waveOutClose"))(device);
    return 0;
}
