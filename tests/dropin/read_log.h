// The drop-in's sndlatch.log in the test's folder, as the test programs read it.
#pragma once

#include <windows.h>

#include <string>

// The log's bytes; "" when there is none. Shared for reading and writing, as
// the drop-in may still append to it.
inline std::string read_log() {
    static char text[65536];
    HANDLE file = CreateFileA("sndlatch.log", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return std::string();
    DWORD got = 0;
    ReadFile(file, text, sizeof text, &got, NULL);
    CloseHandle(file);
    return std::string(text, got);
}
