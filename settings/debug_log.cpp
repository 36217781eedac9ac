// The debug log: "sndlatch.log" beside the settings file, written a whole
// line at a time from any thread.
//
// The file is UTF-8 and starts with a byte-order mark, so that Windows'
// readers show every character of a module path, whatever the system's
// ANSI code page holds. Each line is one write to a file opened for append
// only and shared, so lines from many threads and processes never interleave
// or overwrite one another; a small lock orders this module's own writers,
// so the mark is written once, ahead of the first line.
#define __USE_MINGW_ANSI_STDIO 0
#include <windows.h>

#include <stdarg.h>
#include <stdio.h>

#include "settings.h"

enum { log_path_size = 1024, line_size = 3400 };

// ---- module state ------------------------------------------------------------
static WCHAR log_path[log_path_size]; // the log's full path, fixed at load; "" logs nothing
static volatile LONG log_busy;        // 1 while one thread appends a line
// -----------------------------------------------------------------------------

void fix_debug_log_path() {
    static const WCHAR name[] = L"\\sndlatch.log";
    const DWORD room = log_path_size - sizeof name / sizeof name[0];
    DWORD n = GetCurrentDirectoryW(room, log_path);
    if (n == 0 || n >= room) {
        log_path[0] = 0;
        return;
    }
    if (log_path[n - 1] == L'\\') // a drive's root, "C:\"
        n--;
    for (UINT i = 0; i < sizeof name / sizeof name[0]; i++)
        log_path[n + i] = name[i];
}

// Copies `text` to `out`, each "\n" as CR LF, as far as it fits before `end`.
static char *put_text(char *out, char *end, const char *text) {
    for (; *text && out < end - 1; text++) {
        if (*text == '\n')
            *out++ = '\r';
        *out++ = *text;
    }
    return out;
}

// The one writer: `before`, then `path` in UTF-8 when given, then `after`.
// Kept out of its callers so that no stack frame needs probing.
__attribute__((noinline)) static void append_line(const char *before, const WCHAR *path,
                                                  const char *after) {
    char line[line_size];
    char *end = line + line_size;
    char *out = put_text(line + 3, end, before);
    if (path) {
        int n = WideCharToMultiByte(CP_UTF8, 0, path, -1, out, (int)(end - out), NULL, NULL);
        out += n > 0 ? n - 1 : 0;
    }
    out = put_text(out, end, after);

    while (InterlockedCompareExchange(&log_busy, 1, 0) != 0)
        Sleep(0);
    HANDLE file = CreateFileW(log_path, FILE_APPEND_DATA | FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file != INVALID_HANDLE_VALUE) {
        char *start = line + 3;
        if (GetFileSize(file, NULL) == 0) {
            start = line;
            line[0] = '\xef';
            line[1] = '\xbb';
            line[2] = '\xbf';
        }
        DWORD written;
        WriteFile(file, start, (DWORD)(out - start), &written, NULL);
        CloseHandle(file);
    }
    InterlockedExchange(&log_busy, 0);
}

void write_debug_log(const char *format, ...) {
    if (!debug_log_setting || !log_path[0])
        return;
    char text[2048];
    va_list args;
    va_start(args, format);
    int n = _vsnprintf(text, sizeof text - 1, format, args);
    va_end(args);
    text[n >= 0 ? n : sizeof text - 1] = 0;
    append_line(text, NULL, "");
}

void write_debug_log_path(const char *before, const wchar_t *path, const char *after) {
    if (!debug_log_setting || !log_path[0])
        return;
    append_line(before, path, after);
}
