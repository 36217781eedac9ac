/* Test host laid out the way MSVC lays out a program: built with clang for
 * the MSVC target and linked by lld-link, so the IAT sits in read-only
 * .rdata. No C runtime: output goes through kernel32 directly. Same output
 * as host.c built with CALL_BEFORE and CALL_AFTER, so waveOutOpen is in
 * the middle of the WINMM imports.
 *
 * Linked /fixed /align:512 /filealign:512 it is also host-flat.exe, an
 * image mapped flat. There .data is the last section: the wave format is
 * its file data (not const, so it stays there) and the large zero-filled
 * output buffer makes its size in memory pass its size in the file. */
typedef unsigned long DWORD;
typedef void *HANDLE;

#define IMPORT __declspec(dllimport)
IMPORT HANDLE __stdcall GetStdHandle(DWORD which);
IMPORT int __stdcall WriteFile(HANDLE f, const void *buf, DWORD n, DWORD *written, void *ov);
IMPORT void __stdcall ExitProcess(unsigned code);
IMPORT unsigned __stdcall waveOutGetNumDevs(void);
IMPORT unsigned __stdcall midiOutGetNumDevs(void);
IMPORT unsigned __stdcall waveOutReset(HANDLE h);
IMPORT unsigned __stdcall waveOutOpen(HANDLE *h, unsigned dev, const void *fmt, DWORD cb,
                                      DWORD inst, DWORD flags);

struct wave_format {
    unsigned short tag, channels;
    DWORD rate, bytes_per_sec;
    unsigned short align, bits, extra;
};

static char out[1024];
static unsigned used;

static void put(const char *s) {
    while (*s && used < sizeof out)
        out[used++] = *s++;
}

static void put_dec(unsigned v) {
    char buf[12];
    int n = 0;
    do {
        buf[n++] = (char)('0' + v % 10);
        v /= 10;
    } while (v);
    while (n) {
        char c[2] = {buf[--n], 0};
        put(c);
    }
}

static void put_hex8(unsigned v) {
    int i;
    put("0x");
    for (i = 7; i >= 0; i--) {
        char c[2] = {"0123456789abcdef"[(v >> (4 * i)) & 15], 0};
        put(c);
    }
}

static void flush(void) {
    DWORD written;
    WriteFile(GetStdHandle((DWORD)-11), out, used, &written, 0);
    used = 0;
}

void __stdcall entry(void) {
    static struct wave_format fmt = {1, 2, 44100, 44100 * 4, 4, 16, 0};
    HANDLE h = 0;
    int i;
    put("waveOutGetNumDevs ");
    put_dec(waveOutGetNumDevs());
    put("\n");
    for (i = 1; i <= 3; i++) {
        unsigned r = waveOutOpen(&h, (unsigned)-1, &fmt, 0, 0, 0);
        put("open ");
        put_dec((unsigned)i);
        put(": result ");
        put_dec(r);
        put(" handle ");
        put_hex8((unsigned)(DWORD)h);
        put("\n");
    }
    put("waveOutReset ");
    put_dec(waveOutReset(h));
    put("\n");
    put("midiOutGetNumDevs ");
    put_dec(midiOutGetNumDevs());
    put("\n");
    flush();
    ExitProcess(0);
}
