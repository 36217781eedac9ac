// What both benchmark programs share: the options, the clock, medians, the
// table's rows, and the loops that time a call against its floor.
#pragma once

#include <windows.h>
#include <mmsystem.h>

#include <vector>

typedef MMRESULT(WINAPI *open_fn)(LPHWAVEOUT, UINT, LPCWAVEFORMATEX, DWORD_PTR, DWORD_PTR, DWORD);

namespace bench {

struct options {
    DWORD calls = 10000000; // answered calls per repetition
    int reps = 15;          // repetitions per figure; the median is shown
    int rounds = 20;        // opens, and load and free pairs, per repetition
};

extern const WAVEFORMATEX pcm_format;
extern char folder[MAX_PATH]; // this program's folder, with a trailing backslash
extern volatile DWORD sink;   // results land here so no call is optimised away
extern bool emulated;         // --emulated: the 32-bit loader runs under qemu-i386

// Reads the options (--emulated: timing goals are shown, not judged), finds this program's folder
// and makes it the current directory (the DLLs read their settings from there), writes a typical
// "sndlatch.ini" into it, starts the clock and raises this thread's priority.
options start(int argc, char **argv, const char *program);

[[noreturn]] void fail(const char *what);
LONGLONG now();
double to_ns(LONGLONG ticks);
double median(std::vector<double> v);

HMODULE load(const char *path);
FARPROC entry(HMODULE m, const char *name);
inline open_fn open_entry(HMODULE m, const char *name) {
    return (open_fn)(void *)entry(m, name);
}

// `calls` calls of `fn` in one loop, the slot on this thread's stack.
DWORD call_loop(open_fn fn, DWORD calls);
double ns_per_call(open_fn fn, DWORD calls);
// ns per LoadLibrary and FreeLibrary pair of `path`, over `rounds` pairs.
double load_free(const char *path, int rounds);

// The row of an answered open: ns per call of `answered` against `floor`,
// each `opt.calls` calls per repetition, with `goal` on their ratio.
void answered_row(const char *what, const options &opt, open_fn answered, open_fn floor,
                  double goal);

// The instructions that one call of `fn` executes, from its first through its
// ret, counted by single-stepping the call (the trap flag, and a vectored
// handler counting EXCEPTION_SINGLE_STEP). The same on every machine where
// single-stepping works; -1 where it does not (Wine under qemu-i386).
int instructions_per_call(open_fn fn);
// A row of instruction counts: `count` against the floor's, goal on `count`;
// a count of -1 is shown as not counted.
void count_row(const char *what, int count, int floor, int goal);
// How Wine's loader ran this program: "native", or "qemu" (--emulated). The
// last column of every row.
const char *wine_loader();

// One row: the measured side, its floor, their ratio and the goal on it.
void row(const char *what, double value, double floor, double goal);
void note(const char *what, const char *text);

// One row from `measure(side, warm_up)`: the medians of the measured side
// (side true) and its floor (side false) over `reps` repetitions, taken in
// turn after one warm-up of each, scaled by `scale`.
template <class F>
void side_by_side(const char *what, int reps, double goal, double scale, F measure) {
    measure(true, true);
    measure(false, true);
    std::vector<double> a, f;
    for (int r = 0; r < reps; r++) {
        a.push_back(measure(true, false));
        f.push_back(measure(false, false));
    }
    row(what, median(a) * scale, median(f) * scale, goal);
}

// One row: the measured side, its floor, their difference and the goal on it.
void difference(const char *what, double value, double floor, double goal);

} // namespace bench
