// Measures the drop-in winmm.dll beside the platform's own winmm and prints
// its rows of the benchmark table, after sndlatch_bench's: rows 6 to 9 for
// the 32-bit drop-in, and, built for x86-64 (run in a 64-bit Wine prefix),
// rows 11 to 13 for the 64-bit one, whose load is not timed:
//
//   dropin_bench [--calls N] [--reps R] [--rounds K]     (options as sndlatch_bench)
//
// It sits in a folder of its own beside the drop-in (winmm.dll), runs with
// WINEDLLOVERRIDES="winmm=n,b", and loads both winmm DLLs by full path: the drop-in from its
// folder, the platform's from the system directory. It is a program of its own, importing nothing
// from winmm, because of what Wine 8's loader does with two modules of one name (found by
// experiment):
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
const char *const open_label = "11 64-bit drop-in later open, us";
const char *const done_label = "12 64-bit WOM_DONE of 100 ms, ms";
const char *const done_real_label = "12 64-bit the same, against real time";
const char *const passed_on_label = "13 64-bit drop-in timeGetTime, ns";
#else
const bool time_the_load = true;
const char *const open_label = "7 drop-in later open, us";
const char *const done_label = "8 WOM_DONE of a 100 ms buffer, ms";
const char *const done_real_label = "8 the same, against real time";
const char *const passed_on_label = "9 drop-in timeGetTime, ns/call";
#endif

char dropin_path[MAX_PATH];
char system_path[MAX_PATH];

// The waveOut functions of one winmm module, found by name.
struct wave_api {
    open_fn open;
    MMRESULT(WINAPI *close)(HWAVEOUT);
    MMRESULT(WINAPI *prepare)(HWAVEOUT, LPWAVEHDR, UINT);
    MMRESULT(WINAPI *unprepare)(HWAVEOUT, LPWAVEHDR, UINT);
    MMRESULT(WINAPI *write)(HWAVEOUT, LPWAVEHDR, UINT);
};

wave_api api_of(HMODULE m) {
    wave_api a;
    a.open = open_entry(m, "waveOutOpen");
    a.close = (MMRESULT(WINAPI *)(HWAVEOUT))(void *)entry(m, "waveOutClose");
    a.prepare =
        (MMRESULT(WINAPI *)(HWAVEOUT, LPWAVEHDR, UINT))(void *)entry(m, "waveOutPrepareHeader");
    a.unprepare =
        (MMRESULT(WINAPI *)(HWAVEOUT, LPWAVEHDR, UINT))(void *)entry(m, "waveOutUnprepareHeader");
    a.write = (MMRESULT(WINAPI *)(HWAVEOUT, LPWAVEHDR, UINT))(void *)entry(m, "waveOutWrite");
    return a;
}

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

// An open while the program holds another, against the platform's own open
// of a device: `rounds` opens held at once, each timed, then all closed
// untimed. Through the drop-in an open is answered by the device it keeps.
void later_open_row(const options &opt, const wave_api &dropin, const wave_api &platform) {
    HWAVEOUT held = NULL;
    if (dropin.open(&held, WAVE_MAPPER, &pcm_format, 0, 0, CALLBACK_NULL) != MMSYSERR_NOERROR)
        fail("the first open through the drop-in failed");
    std::vector<HWAVEOUT> handles(opt.rounds);
    side_by_side(open_label, opt.reps, 0.01, 1e-3, [&](bool through_dropin, bool) {
        const wave_api &api = through_dropin ? dropin : platform;
        LONGLONG total = 0;
        for (HWAVEOUT &h : handles) {
            LONGLONG t0 = now();
            MMRESULT r = api.open(&h, WAVE_MAPPER, &pcm_format, 0, 0, CALLBACK_NULL);
            total += now() - t0;
            if (r != MMSYSERR_NOERROR)
                fail(through_dropin ? "an open through the drop-in failed"
                                    : "a platform open failed");
        }
        for (HWAVEOUT h : handles)
            api.close(h);
        return to_ns(total) / handles.size();
    });
    dropin.close(held);
    char text[96];
    snprintf(text, sizeof text, "floor: the platform's own waveOutOpen; %d opens held at once",
             opt.rounds);
    note("", text);
}

// From waveOutWrite of a 100 ms buffer to its WHDR_DONE, through the drop-in
// against the platform alone. Each side opens, plays one buffer to warm up,
// then times one, and closes.
double done_delay_ms(const wave_api &api) {
    static short samples[4410 * 2];
    HANDLE event = CreateEventA(NULL, FALSE, FALSE, NULL);
    HWAVEOUT h = NULL;
    if (api.open(&h, WAVE_MAPPER, &pcm_format, (DWORD_PTR)event, 0, CALLBACK_EVENT) !=
        MMSYSERR_NOERROR)
        fail("an open for the WOM_DONE row failed");
    double ms = 0;
    for (int pass = 0; pass < 2; pass++) {
        WAVEHDR header = {};
        header.lpData = (LPSTR)samples;
        header.dwBufferLength = sizeof samples;
        api.prepare(h, &header, sizeof header);
        LONGLONG t0 = now();
        api.write(h, &header, sizeof header);
        while (!(header.dwFlags & WHDR_DONE)) {
            if (WaitForSingleObject(event, 10000) == WAIT_TIMEOUT) {
                SetLastError(0);
                fail("a 100 ms buffer was not done within 10 s");
            }
        }
        ms = to_ns(now() - t0) / 1e6;
        api.unprepare(h, &header, sizeof header);
    }
    api.close(h);
    CloseHandle(event);
    return ms;
}

// Wine's platform returns a buffer as done once its audio client has taken
// it, which on a device that plays faster than real time (ALSA's null
// device) is before it could have played; the drop-in returns it once the
// real device has played its last sample. So beside the platform the row
// also shows the delay against the buffer's own length, real time.
void done_row(const options &opt, const wave_api &dropin, const wave_api &platform) {
    int reps = opt.reps < 5 ? opt.reps : 5;
    std::vector<double> through, alone;
    for (int r = 0; r < reps; r++) {
        through.push_back(done_delay_ms(dropin));
        alone.push_back(done_delay_ms(platform));
    }
    difference(done_label, median(through), median(alone), 30);
    note("", "floor: the platform alone; goal: at most 30 ms more");
    difference(done_real_label, median(through), 100, 30);
    note("", "floor: real time, the buffer's 100 ms; goal: at most 30 ms more");
}

// timeGetTime through the drop-in's export slot against the platform's own.
// It reaches the system clock, which costs far more than a bare call (much
// more under qemu), so it runs a tenth of the calls.
void passed_on_row(const options &opt, time_fn through, time_fn direct) {
    DWORD calls = opt.calls / 10;
    side_by_side(passed_on_label, opt.reps, 1.05, 1, [&](bool dropin, bool warm_up) {
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

    dropin = load(dropin_path);
    platform = load(system_path);
    wave_api through = api_of(dropin), direct = api_of(platform);
    later_open_row(opt, through, direct);
    fflush(stdout);
    done_row(opt, through, direct);
    fflush(stdout);
    passed_on_row(opt, (time_fn)(void *)entry(dropin, "timeGetTime"),
                  (time_fn)(void *)entry(platform, "timeGetTime"));
    fflush(stdout);
    return 0;
}
