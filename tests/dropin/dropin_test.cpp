// End-to-end tests of the drop-in winmm.dll: this unmodified program imports
// winmm and finds the drop-in beside it, with Wine's own winmm behind that.
// The module state lasts for the whole process, so the cases run in order:
// the program loads the system's winmm itself before the drop-in does, the
// first call is a passed-on one, and the first open the program makes is the
// one through the wave mapper.

#include <gtest/gtest.h>

#include <windows.h>
#include <mmreg.h>
#include <mmsystem.h>
#include <mmddk.h>

#include <string>

#include "handles.h"
#include "read_log.h"
#include "version.h"

typedef MMRESULT(WINAPI *lib_open_fn)(HWAVEOUT *);
typedef MMRESULT(WINAPI *open_fn)(LPHWAVEOUT, UINT, LPCWAVEFORMATEX, DWORD_PTR, DWORD_PTR, DWORD);

static const WAVEFORMATEX pcm = {WAVE_FORMAT_PCM, 1, 22050, 44100, 2, 16, 0};
static const HWAVEOUT poison = (HWAVEOUT)0xdeadbeef;

// The handle the program's first open got (IMA ADPCM, the platform's own),
// and the handle of its first PCM open, the drop-in's, shared by the cases
// after them.
static HWAVEOUT program_handle;
static HWAVEOUT pcm_handle;

// An open of the program's that the drop-in answered: a handle of its own,
// not one given before and still open. Closes it.
static void expect_own_open(MMRESULT result, const HWAVEOUT &h, const char *what) {
    EXPECT_EQ(result, MMSYSERR_NOERROR) << what;
    EXPECT_TRUE(is_dropin_handle(h)) << what << ": " << (void *)h;
    EXPECT_NE(h, pcm_handle) << what;
    EXPECT_EQ(waveOutClose(h), MMSYSERR_NOERROR) << what;
}

static HMODULE module_of(const void *address) {
    HMODULE module = NULL;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                           GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       (LPCWSTR)address, &module);
    return module;
}

static std::wstring system_path(const wchar_t *file) {
    wchar_t dir[MAX_PATH];
    GetSystemDirectoryW(dir, MAX_PATH);
    return std::wstring(dir) + L"\\" + file;
}

static HMODULE dropin() {
    return module_of((const void *)&waveOutOpen);
}

// The system's winmm by full path, as the drop-in loads it.
static HMODULE system_winmm() {
    return LoadLibraryW(system_path(L"winmm.dll").c_str());
}

// A folder beside the program whose name is not ASCII.
static const wchar_t unicode_folder[] = L"sndlatch-\u00e4\u0436\u97f3";

static std::string utf8(const std::wstring &text) {
    char buffer[4096];
    int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, buffer, sizeof buffer, NULL, NULL);
    return std::string(buffer, n > 0 ? n - 1 : 0);
}

static FARPROC export_of(HMODULE module, const char *name) {
    return GetProcAddress(module, name);
}

// LoadLibrary and GetModuleHandle of winmm by its bare name, in either letter
// case and character width, find the drop-in.
static void expect_bare_names_find_dropin(const char *after) {
    EXPECT_EQ(LoadLibraryA("winmm"), dropin()) << "LoadLibraryA after " << after;
    EXPECT_EQ(LoadLibraryW(L"WinMM.DLL"), dropin()) << "LoadLibraryW after " << after;
    EXPECT_EQ(GetModuleHandleA("WINMM.dll"), dropin()) << "GetModuleHandleA after " << after;
    EXPECT_EQ(GetModuleHandleW(L"winmm"), dropin()) << "GetModuleHandleW after " << after;
}

#if defined(__i386__)
// stdcall: a function removes its own arguments, and the drop-in's stubs
// must remove as many as the real function does.
static const bool callee_removes_arguments = true;

// Calls `fn` with six arguments pushed from right to left and returns its
// result; `removed` gets the bytes that the function took off the stack.
static DWORD call_pushing_six(FARPROC fn, const DWORD_PTR (&args)[6], unsigned *removed) {
    DWORD result;
    unsigned left;
    __asm__ volatile("movl %%esp, %%esi\n\t"
                     "pushl 20(%[a])\n\tpushl 16(%[a])\n\tpushl 12(%[a])\n\t"
                     "pushl 8(%[a])\n\tpushl 4(%[a])\n\tpushl (%[a])\n\t"
                     "call *%[fn]\n\t"
                     "movl %%esi, %%ecx\n\t"
                     "subl %%esp, %%ecx\n\t"
                     "movl %%esi, %%esp\n\t"
                     : "=a"(result), "=c"(left)
                     : [fn] "r"(fn), [a] "r"(args)
                     : "esi", "edx", "memory");
    *removed = 24 - left;
    return result;
}
#else
// x86-64 has one calling convention, in which the caller removes the
// arguments: there are no argument bytes to check.
static const bool callee_removes_arguments = false;

static DWORD call_pushing_six(FARPROC fn, const DWORD_PTR (&a)[6], unsigned *removed) {
    typedef DWORD(WINAPI * six_fn)(DWORD_PTR, DWORD_PTR, DWORD_PTR, DWORD_PTR, DWORD_PTR,
                                   DWORD_PTR);
    *removed = 0;
    return ((six_fn)(void (*)(void))fn)(a[0], a[1], a[2], a[3], a[4], a[5]);
}
#endif

static void play_block(HWAVEOUT handle, char *data, DWORD size) {
    WAVEHDR header = {};
    header.lpData = data;
    header.dwBufferLength = size;
    ASSERT_EQ(waveOutPrepareHeader(handle, &header, sizeof header), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutWrite(handle, &header, sizeof header), MMSYSERR_NOERROR);
    for (int i = 0; i < 500 && !(header.dwFlags & WHDR_DONE); i++)
        Sleep(20);
    EXPECT_TRUE(header.dwFlags & WHDR_DONE) << "flags " << header.dwFlags;
    EXPECT_EQ(waveOutUnprepareHeader(handle, &header, sizeof header), MMSYSERR_NOERROR);
}

TEST(DropIn, ProgramIsBoundToItAndItReachesTheSystemWinmm) {
    wchar_t path[MAX_PATH], here[MAX_PATH];
    ASSERT_NE(dropin(), (HMODULE)NULL);
    GetModuleFileNameW(dropin(), path, MAX_PATH);
    GetModuleFileNameW(NULL, here, MAX_PATH);
    std::wstring folder(here);
    folder.resize(folder.rfind(L'\\') + 1);
    EXPECT_EQ(lstrcmpiW(path, (folder + L"winmm.dll").c_str()), 0) << "bound to " << path;
    HMODULE system = system_winmm();
    ASSERT_NE(system, (HMODULE)NULL);
    EXPECT_NE(system, dropin()) << "the system winmm by full path is the drop-in itself";
    expect_bare_names_find_dropin("the program's load of the system winmm by full path");
    FreeLibrary(system);
}

// The process's first passed-on call, which loads the system's winmm, and
// every one after it find the last-error value as the caller left it, as a
// call straight to the system's winmm does.
TEST(DropIn, PassedOnCallsKeepTheLastError) {
    TIMECAPS caps;
    for (int round = 0; round < 2; round++) {
        SetLastError(0x2bad);
        EXPECT_EQ(timeGetDevCaps(&caps, sizeof caps), MMSYSERR_NOERROR);
        EXPECT_EQ(GetLastError(), 0x2badu) << "round " << round;
    }
    auto system_caps = (MMRESULT(WINAPI *)(LPTIMECAPS, UINT))(void (*)(void))export_of(
        system_winmm(), "timeGetDevCaps");
    SetLastError(0x2bad);
    system_caps(&caps, sizeof caps);
    EXPECT_EQ(GetLastError(), 0x2badu) << "the system's own timeGetDevCaps";
}

// The program's first open asks the mapper for IMA ADPCM; the mapper opens a
// PCM device underneath and converts. A format the drop-in's mixer cannot
// play goes to the platform as it is: each open is the platform's own.
TEST(DropIn, FirstOpenThroughTheMapperWithACompressedFormat) {
    IMAADPCMWAVEFORMAT adpcm = {};
    adpcm.wfx = {WAVE_FORMAT_IMA_ADPCM, 1, 22050, 11100, 512, 4, 2};
    adpcm.wSamplesPerBlock = 1017;
    HWAVEOUT handles[3];
    for (HWAVEOUT &h : handles) {
        h = poison;
        ASSERT_EQ(waveOutOpen(&h, WAVE_MAPPER, &adpcm.wfx, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    }
    EXPECT_NE(handles[1], handles[0]);
    EXPECT_NE(handles[2], handles[1]);
    EXPECT_FALSE(is_dropin_handle(handles[0]));
    EXPECT_EQ(waveOutClose(handles[1]), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutClose(handles[2]), MMSYSERR_NOERROR);
    program_handle = handles[0];
    static char block[512 * 8];
    play_block(program_handle, block, sizeof block);
}

TEST(DropIn, EveryOpenOfTheProgramsModulesIsAnswered) {
    // A first call of another export loads nothing more, but must not leave
    // the loader pointing a bare "winmm" at the system's module.
    waveOutGetNumDevs();
    // Each open is a device of its own, with a handle of the drop-in's.
    HWAVEOUT h = poison;
    EXPECT_EQ(waveOutOpen(&h, 0, &pcm, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    EXPECT_NE(h, program_handle) << "direct import, PCM after IMA ADPCM";
    EXPECT_TRUE(is_dropin_handle(h)) << (void *)h;
    pcm_handle = h;
    h = poison;
    expect_own_open(waveOutOpen(&h, 0, &pcm, 0, 0, CALLBACK_NULL), h, "direct import");

    // Looked up at run time, as programs that load winmm themselves do.
    open_fn looked_up =
        (open_fn)(void (*)(void))GetProcAddress(LoadLibraryA("winmm"), "waveOutOpen");
    ASSERT_NE(looked_up, (open_fn)NULL);
    h = poison;
    expect_own_open(looked_up(&h, WAVE_MAPPER, &pcm, 0, 0, CALLBACK_NULL), h,
                    "looked up at run time");

    // The program's own sound library, a DLL in its folder.
    HMODULE lib = LoadLibraryA("caller_lib.dll");
    ASSERT_NE(lib, (HMODULE)NULL);
    lib_open_fn lib_open = (lib_open_fn)(void (*)(void))GetProcAddress(lib, "caller_open");
    for (int i = 0; i < 3; i++) {
        h = poison;
        expect_own_open(lib_open(&h), h, "the program's DLL");
    }

    // A format query opens nothing and writes no handle.
    h = poison;
    EXPECT_EQ(waveOutOpen(&h, WAVE_MAPPER, &pcm, 0, 0, WAVE_FORMAT_QUERY), MMSYSERR_NOERROR);
    EXPECT_EQ(h, poison);
}

static void CALLBACK on_timer(UINT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR) {}

// Looked up by its bare name, winmm is the drop-in whatever came before:
// Wine's timeSetEvent takes a reference on the system's winmm, and a load by
// full path asks for it. What was found gives the program opens of its own.
TEST(DropIn, BareNameLookupsFindTheDropIn) {
    auto expect_dropin = [](const char *after) {
        expect_bare_names_find_dropin(after);
        open_fn open =
            (open_fn)(void (*)(void))GetProcAddress(GetModuleHandleA("winmm"), "waveOutOpen");
        HWAVEOUT h = poison;
        expect_own_open(open ? open(&h, WAVE_MAPPER, &pcm, 0, 0, CALLBACK_NULL) : ~0u, h, after);
    };

    HMODULE lib = LoadLibraryA("timer_lib.dll");
    ASSERT_NE(lib, (HMODULE)NULL);
    typedef UINT(WINAPI * lookups_fn)(HMODULE *);
    HMODULE found[4] = {};
    UINT timer = ((lookups_fn)(void (*)(void))GetProcAddress(lib, "timer_lib_lookups"))(found);
    EXPECT_NE(timer, 0u);
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(found[i], dropin()) << "lookup " << i << " in DllMain after timeSetEvent";
    timeKillEvent(timer);
    FreeLibrary(lib);

    timer = timeSetEvent(10000, 10, on_timer, 0, TIME_ONESHOT);
    expect_dropin("timeSetEvent");
    timeKillEvent(timer);
    HMODULE system = system_winmm();
    ASSERT_NE(system, (HMODULE)NULL);
    expect_dropin("a load by full path");
    EXPECT_EQ(GetModuleHandleW(system_path(L"winmm.dll").c_str()), system);
    FreeLibrary(system);
}

// Three modules built for one address, loaded there one after the other:
// each is judged on its own, not by the one unloaded before it. The last one
// lies in a folder whose name is not ASCII and calls while the current
// directory is another: the log test below reads its line.
TEST(DropIn, ModulesLoadedWhereAnotherWasUnloaded) {
    std::wstring platform_copy = system_path(L"sndlatch_fixed_probe.dll");
    std::wstring unicode_copy = std::wstring(unicode_folder) + L"\\fixed_lib.dll";
    ASSERT_TRUE(CopyFileW(L"fixed_lib.dll", platform_copy.c_str(), FALSE)) << GetLastError();
    CreateDirectoryW(unicode_folder, NULL);
    ASSERT_TRUE(CopyFileW(L"fixed_lib.dll", unicode_copy.c_str(), FALSE)) << GetLastError();
    CreateDirectoryW(L"data", NULL);
    DeleteFileW(L"data\\sndlatch.log");
    const struct {
        std::wstring path;
        bool platform;
    } order[] = {{L"fixed_lib.dll", false}, {platform_copy, true}, {unicode_copy, false}};
    HMODULE address = NULL;
    for (auto &o : order) {
        std::string name = utf8(o.path);
        HMODULE lib = LoadLibraryW(o.path.c_str());
        ASSERT_NE(lib, (HMODULE)NULL) << name;
        address = address ? address : lib;
        ASSERT_EQ(lib, address) << name << " not at the address of the one before";
        lib_open_fn lib_open = (lib_open_fn)(void (*)(void))GetProcAddress(lib, "caller_open");
        if (!o.platform)
            SetCurrentDirectoryW(L"data");
        HWAVEOUT a = poison, b = poison;
        EXPECT_EQ(lib_open(&a), MMSYSERR_NOERROR) << name;
        EXPECT_EQ(lib_open(&b), MMSYSERR_NOERROR) << name;
        if (!o.platform)
            SetCurrentDirectoryW(L"..");
        EXPECT_NE(a, b) << name;
        EXPECT_NE(a, pcm_handle) << name;
        EXPECT_EQ(is_dropin_handle(a), !o.platform) << name;
        EXPECT_EQ(is_dropin_handle(b), !o.platform) << name;
        EXPECT_EQ(waveOutClose(a), MMSYSERR_NOERROR);
        EXPECT_EQ(waveOutClose(b), MMSYSERR_NOERROR);
        FreeLibrary(lib);
    }
    DeleteFileW(platform_copy.c_str());
}

// The same DLL loaded from the Windows directory stands for a platform
// component: its opens reach the platform, each with a device of its own,
// and leave the program's opens alone.
TEST(DropIn, PlatformModulesAlwaysReachThePlatform) {
    std::wstring copy = system_path(L"sndlatch_platform_probe.dll");
    ASSERT_TRUE(CopyFileW(L"caller_lib.dll", copy.c_str(), FALSE)) << GetLastError();
    HMODULE lib = LoadLibraryW(copy.c_str());
    ASSERT_NE(lib, (HMODULE)NULL);
    lib_open_fn lib_open = (lib_open_fn)(void (*)(void))GetProcAddress(lib, "caller_open");
    HWAVEOUT a = poison, b = poison;
    EXPECT_EQ(lib_open(&a), MMSYSERR_NOERROR);
    EXPECT_EQ(lib_open(&b), MMSYSERR_NOERROR);
    EXPECT_NE(a, b);
    EXPECT_FALSE(is_dropin_handle(a));
    EXPECT_FALSE(is_dropin_handle(b));
    EXPECT_EQ(waveOutClose(a), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutClose(b), MMSYSERR_NOERROR);
    HWAVEOUT h = poison;
    expect_own_open(waveOutOpen(&h, WAVE_MAPPER, &pcm, 0, 0, CALLBACK_NULL), h,
                    "after the platform module's");
    FreeLibrary(lib);
    DeleteFileW(copy.c_str());
}

// MCI and PlaySound open and close devices of their own for every sound; the
// program's devices stay open and usable throughout.
TEST(DropIn, MciAndPlaySoundBesideTheProgramsDevice) {
    // 0.05 s of 8-bit silence.
    static const char wav_name[] = "dropin_beep.wav";
    struct {
        char riff[4];
        DWORD size;
        char wave_fmt[8];
        DWORD fmt_size;
        PCMWAVEFORMAT fmt;
        char data[4];
        DWORD data_size;
        BYTE samples[1102];
    } wav = {{'R', 'I', 'F', 'F'},
             sizeof wav - 8,
             {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '},
             16,
             {{WAVE_FORMAT_PCM, 1, 22050, 22050, 1}, 8},
             {'d', 'a', 't', 'a'},
             1102,
             {}};
    memset(wav.samples, 0x80, sizeof wav.samples);
    HANDLE file = CreateFileA(wav_name, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    DWORD written;
    ASSERT_TRUE(WriteFile(file, &wav, sizeof wav, &written, NULL));
    CloseHandle(file);

    std::string play = std::string("play ") + wav_name + " wait";
    for (int i = 0; i < 2; i++) {
        EXPECT_EQ(mciSendStringA(play.c_str(), NULL, 0, NULL), 0u) << "MCI play " << i;
        EXPECT_TRUE(PlaySoundA(wav_name, NULL, SND_FILENAME | SND_SYNC | SND_NODEFAULT))
            << "PlaySound " << i;
    }
    MMTIME position = {TIME_BYTES, {}};
    EXPECT_EQ(waveOutGetPosition(program_handle, &position, sizeof position), MMSYSERR_NOERROR);
    static char block[512 * 4];
    play_block(program_handle, block, sizeof block);
    play_block(pcm_handle, block, sizeof block);
    DeleteFileA(wav_name);
}

TEST(DropIn, OtherCallsReachTheSystemWinmmUntouched) {
    HMODULE system = system_winmm();
    EXPECT_EQ(waveOutGetNumDevs(),
              ((UINT(WINAPI *)())(void (*)(void))export_of(system, "waveOutGetNumDevs"))());
    char mine[MAXERRORLENGTH] = "", theirs[MAXERRORLENGTH] = "";
    EXPECT_EQ(waveOutGetErrorTextA(WAVERR_BADFORMAT, mine, sizeof mine), MMSYSERR_NOERROR);
    auto text = (MMRESULT(WINAPI *)(MMRESULT, LPSTR, UINT))(void (*)(void))export_of(
        system, "waveOutGetErrorTextA");
    text(WAVERR_BADFORMAT, theirs, sizeof theirs);
    EXPECT_STREQ(mine, theirs);

    DWORD written_volume = 0;
    // The stack as the caller left it: each function removes its own
    // arguments, on the first call (through the resolver) and after it.
    struct {
        const char *name;
        DWORD_PTR args[6];
        unsigned bytes;
        DWORD expected;
    } calls[] = {
        {"mmioStringToFOURCCA",
         {(DWORD_PTR) "wave", MMIO_TOUPPER},
         8,
         mmioFOURCC('W', 'A', 'V', 'E')},
        {"waveOutGetErrorTextA",
         {WAVERR_BADFORMAT, (DWORD_PTR)mine, sizeof mine},
         12,
         MMSYSERR_NOERROR},
        {"waveOutGetVolume",
         {(DWORD_PTR)program_handle, (DWORD_PTR)&written_volume},
         8,
         MMSYSERR_NOERROR},
    };
    for (auto &c : calls) {
        for (int round = 0; round < 2; round++) {
            unsigned removed = 0;
            DWORD result = call_pushing_six(export_of(dropin(), c.name), c.args, &removed);
            EXPECT_EQ(result, c.expected) << c.name << ", round " << round;
            if (callee_removes_arguments) {
                EXPECT_EQ(removed, c.bytes) << c.name << ", round " << round;
            }
        }
    }
}

// What the system's DriverCallback handed to driver_callback_probe.
static struct {
    int calls;
    HDRVR driver;
    UINT message;
    DWORD_PTR user, first, second;
} probe_saw;

static void CALLBACK driver_callback_probe(HDRVR driver, UINT message, DWORD_PTR user,
                                           DWORD_PTR first, DWORD_PTR second) {
    probe_saw = {probe_saw.calls + 1, driver, message, user, first, second};
}

// DriverCallback has seven arguments: on x86-64 four come in rcx, rdx, r8
// and r9 and three on the stack, on i386 all seven on the stack. With
// DCB_FUNCTION the system's hands five of them on to the function in the
// first: a wrong first or second argument calls nothing, the other five
// arrive where the probe sees them. Full 64-bit values, so that no half of
// a register goes unchecked. The first round goes through the resolver.
TEST(DropIn, PassedOnCallsGetEveryArgumentIntact) {
    typedef BOOL(WINAPI * driver_callback_fn)(DWORD_PTR, DWORD, HDRVR, DWORD, DWORD_PTR, DWORD_PTR,
                                              DWORD_PTR);
    auto driver_callback =
        (driver_callback_fn)(void (*)(void))export_of(dropin(), "DriverCallback");
    ASSERT_NE(driver_callback, (driver_callback_fn)NULL);
    for (int round = 0; round < 2; round++) {
        const DWORD_PTR base = (DWORD_PTR)0x8123456789abcde0ull + round;
        const HDRVR driver = (HDRVR)(base ^ 0x100);
        const DWORD message = 0x7e57 + round;
        const int calls_before = probe_saw.calls;
        EXPECT_TRUE(driver_callback((DWORD_PTR)&driver_callback_probe, DCB_FUNCTION, driver,
                                    message, base ^ 0x200, base ^ 0x300, base ^ 0x400))
            << "round " << round;
        ASSERT_EQ(probe_saw.calls, calls_before + 1) << "round " << round;
        EXPECT_EQ(probe_saw.driver, driver) << "round " << round;
        EXPECT_EQ(probe_saw.message, message) << "round " << round;
        EXPECT_EQ(probe_saw.user, base ^ 0x200) << "round " << round;
        EXPECT_EQ(probe_saw.first, base ^ 0x300) << "round " << round;
        EXPECT_EQ(probe_saw.second, base ^ 0x400) << "round " << round;
    }
}

// A program that imports winmm by ordinal reaches what the same ordinal is in
// the system's winmm, and the ordinal of waveOutOpen is the drop-in's.
TEST(DropIn, ExportsByOrdinalFollowTheSystemWinmm) {
    HMODULE system = system_winmm();
    FARPROC system_open = export_of(system, "waveOutOpen");
    FARPROC system_time = export_of(system, "timeGetTime");
    WORD open_ordinal = 0, time_ordinal = 0;
    for (WORD n = 1; n < 300; n++) {
        FARPROC f = GetProcAddress(system, MAKEINTRESOURCEA(n));
        open_ordinal = f == system_open ? n : open_ordinal;
        time_ordinal = f == system_time ? n : time_ordinal;
    }
    ASSERT_NE(open_ordinal, 0) << "waveOutOpen has no ordinal below 300 in the system winmm";
    ASSERT_NE(time_ordinal, 0);

    open_fn by_ordinal =
        (open_fn)(void (*)(void))GetProcAddress(dropin(), MAKEINTRESOURCEA(open_ordinal));
    ASSERT_NE(by_ordinal, (open_fn)NULL) << "ordinal " << open_ordinal;
    HWAVEOUT h = poison;
    expect_own_open(by_ordinal(&h, WAVE_MAPPER, &pcm, 0, 0, CALLBACK_NULL), h,
                    "waveOutOpen by ordinal");

    DWORD_PTR args[6] = {};
    unsigned removed = 0;
    DWORD before = timeGetTime();
    DWORD now =
        call_pushing_six(GetProcAddress(dropin(), MAKEINTRESOURCEA(time_ordinal)), args, &removed);
    EXPECT_LT(now - before, 60000u) << "timeGetTime by ordinal " << time_ordinal << " gave " << now;
    EXPECT_EQ(removed, 0u);
}

// Functions that Wine's winmm lacks (Windows internals) answer their error
// value and still remove their arguments, so the caller goes on.
TEST(DropIn, FunctionsTheSystemLacksReturnTheirErrorValue) {
    struct {
        const char *name;
        unsigned bytes;
        DWORD expected;
    } calls[] = {
        {"wod32Message", 20, MMSYSERR_NODRIVER},
        {"gfxOpenGfx", 8, 0},
        {"_gfxLogon@4", 4, 0},
        {"mmDrvInstall", 16, MMSYSERR_NODRIVER},
    };
    HMODULE system = system_winmm();
    for (auto &c : calls) {
        if (export_of(system, c.name)) {
            ADD_FAILURE() << c.name << " is in the system winmm after all";
            continue;
        }
        ASSERT_NE(export_of(dropin(), c.name), (FARPROC)NULL) << c.name;
        for (int round = 0; round < 2; round++) {
            DWORD_PTR args[6] = {1, 2, 3, 4, 5, 6};
            unsigned removed = 0;
            DWORD result = call_pushing_six(export_of(dropin(), c.name), args, &removed);
            EXPECT_EQ(result, c.expected) << c.name << ", round " << round;
            if (callee_removes_arguments) {
                EXPECT_EQ(removed, c.bytes) << c.name << ", round " << round;
            }
        }
    }
}

// With Debug_Log = 1 (this folder's sndlatch.ini) the log tells which
// callers were answered and which were passed on. It stays beside the
// settings file when the program changes directory, and holds every module
// path whole, in UTF-8 after a byte-order mark.
TEST(DropIn, TheLogNamesEachCallersAnswer) {
    const std::string log = read_log();
    ASSERT_FALSE(log.empty()) << "no sndlatch.log";
    EXPECT_EQ(log.substr(0, 3), "\xef\xbb\xbf") << log;
    // The first line: the version, the program and the settings file read.
    const std::string first = log.substr(3, log.find('\n') + 1);
    EXPECT_EQ(first.find("sndlatch drop-in winmm.dll " SNDLATCH_VERSION_TEXT " in "), 0u) << log;
    // ...and which of the two drop-ins wrote it.
    EXPECT_NE(first.find(sizeof(void *) == 8 ? "\\dropin_test.exe (64-bit, process "
                                             : "\\dropin_test.exe (32-bit, process "),
              std::string::npos)
        << first;
    EXPECT_NE(first.find("), settings "), std::string::npos) << first;
    EXPECT_NE(first.find("\\sndlatch.ini\r\n"), std::string::npos) << first;
    EXPECT_NE(log.find("dropin_test.exe: the program's module"), std::string::npos) << log;
    EXPECT_NE(log.find("sndlatch_platform_probe.dll: a platform module"), std::string::npos) << log;
    EXPECT_NE(log.find("sndlatch_fixed_probe.dll: a platform module"), std::string::npos) << log;
    EXPECT_NE(log.find("system winmm"), std::string::npos) << log;

    wchar_t full[MAX_PATH];
    GetFullPathNameW((std::wstring(unicode_folder) + L"\\fixed_lib.dll").c_str(), MAX_PATH, full,
                     NULL);
    std::string line = "waveOutOpen called from " + utf8(full) + ": the program's module";
    EXPECT_NE(log.find(line), std::string::npos) << "no line: " << line << "\nlog:\n" << log;
    EXPECT_EQ(GetFileAttributesW(L"data\\sndlatch.log"), INVALID_FILE_ATTRIBUTES)
        << "a log in the folder the program changed to";
}
