// Helpers for tests that load sndlatch.dll in a folder holding a settings file.
#pragma once

#include <gtest/gtest.h>

#include <windows.h>

#include <stdio.h>
#include <string>

#include "settings.h"

inline std::string read_file(const std::string &path, bool *exists = NULL) {
    std::string bytes;
    FILE *f = fopen(path.c_str(), "rb");
    if (exists)
        *exists = f != NULL;
    if (!f)
        return bytes;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        bytes.append(buf, n);
    fclose(f);
    return bytes;
}

inline void write_file(const std::string &path, const std::string &bytes) {
    FILE *f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, (FILE *)NULL) << path;
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
}

// Bytes as a C string literal, so that a failing case can be pasted back.
inline std::string quoted(const std::string &bytes) {
    std::string out = "\"";
    for (unsigned char c : bytes) {
        char buf[8];
        if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else if (c == '"' || c == '\\')
            out += std::string("\\") + (char)c;
        else if (c < 32 || c > 126) {
            snprintf(buf, sizeof buf, "\\x%02x\"\"", c);
            out += buf;
        } else
            out += (char)c;
    }
    return out + "\"";
}

// Each test runs in an empty folder of its own, made current, and removed after.
class InFreshFolder : public ::testing::Test {
  protected:
    std::string dir, previous, dll;

    void SetUp() override {
        char buf[MAX_PATH];
        GetCurrentDirectoryA(MAX_PATH, buf);
        previous = buf;
        GetModuleFileNameA(NULL, buf, MAX_PATH);
        dll = buf;
        dll = dll.substr(0, dll.find_last_of('\\') + 1) + "sndlatch.dll";
        dir =
            previous + "\\work-" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
        clear(dir);
        ASSERT_TRUE(CreateDirectoryA(dir.c_str(), NULL)) << dir;
        ASSERT_TRUE(SetCurrentDirectoryA(dir.c_str()));
    }
    void TearDown() override {
        SetCurrentDirectoryA(previous.c_str());
        clear(dir);
    }
    static void clear(const std::string &path) {
        WIN32_FIND_DATAA found;
        HANDLE h = FindFirstFileA((path + "\\*").c_str(), &found);
        if (h != INVALID_HANDLE_VALUE) {
            do {
                std::string name = found.cFileName;
                if (name == "." || name == "..")
                    continue;
                if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                    clear(path + "\\" + name);
                else
                    DeleteFileA((path + "\\" + name).c_str());
            } while (FindNextFileA(h, &found));
            FindClose(h);
        }
        RemoveDirectoryA(path.c_str());
    }

    // Loads and unloads the built DLL here; false if the load failed.
    bool load_dll_once() {
        // Keeps WINMM loaded between loads, so that each load maps only the
        // module under test.
        static HMODULE winmm = LoadLibraryA("winmm.dll");
        (void)winmm;
        HMODULE m = LoadLibraryA(dll.c_str());
        if (!m)
            return false;
        FreeLibrary(m);
        return true;
    }

    long read_linked() {
        debug_log_setting = 0;
        read_settings();
        return debug_log_setting;
    }
};
