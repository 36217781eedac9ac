// The settings file and the debug log, tested two ways: through the settings
// code linked into this program, which shows the value read, and through the
// built sndlatch.dll, loaded in a fresh folder, which shows what a host sees.

#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "settings.h"
#include "settings_folder.h"

using namespace std::string_literals;

struct settings_case {
    const char *what;
    std::string bytes;
    long value;
};

static std::string repeat(char c, int n) {
    return std::string(n, c);
}

static const settings_case cases[] = {
    {"plain", "Debug_Log = 1\n", 1},
    {"letter case and no blanks", "debug_log=7\n", 7},
    {"tabs around the sign", "\tDEBUG_LOG\t=\t3\n", 3},
    {"negative", "Debug_Log = -5\n", -5},
    {"other keys around it", "Volume = 3\nDebug_Log = 2\nDebug = 1\n", 2},
    {"last line wins, off", "Debug_Log = 1\nDebug_Log = 0\n", 0},
    {"last line wins, on", "Debug_Log = 0\ndebug_log = 4\n", 4},
    {"a bad line keeps the value", "Debug_Log = 6\nDebug_Log = x\n", 6},
    {"comment", "# Debug_Log = 1\n", 0},
    {"indented # is no comment, but no key either", "  # Debug_Log = 1\n", 0},
    {"blank lines", "\n\nDebug_Log = 1\n\n", 1},
    {"hex prefix reads as 0", "Debug_Log = 0x10\n", 0},
    {"trailing text", "Debug_Log = 12abc\n", 12},
    {"key alone", "Debug_Log\n", 0},
    {"missing =", "Debug_Log 1\n", 0},
    {"longer key cut to nine letters", "Debug_Logging = 1\n", 0},
    {"byte-order mark spoils the first line",
     "\xef\xbb\xbf"
     "Debug_Log = 1\n",
     0},
    {"byte-order mark, second line read",
     "\xef\xbb\xbf"
     "Debug_Log = 1\nDebug_Log = 5\n",
     5},
    {"no final newline", "Debug_Log = 8", 8},
    {"CR LF", "Debug_Log = 1\r\nDebug_Log = 9\r\n", 9},
    {"CR LF blank line is skipped", "\r\nDebug_Log = 1\r\n", 1},
    {"Ctrl-Z ends the file",
     "Debug_Log = 1\n\x1a"
     "Debug_Log = 0\n",
     1},
    {"Ctrl-Z inside a line",
     "Debug_Log = 2\x1a"
     "3\n",
     2},
    {"Ctrl-Z before the key",
     "\x1a"
     "Debug_Log = 1\n",
     0},
    {"NUL ends the scan of a line", "Debug_Log = 1\0junk\n"s, 1},
    {"NUL first on a line", "\0Debug_Log = 1\n"s, 0},
    // A piece is 254 characters: the key just past them starts a piece of its own.
    {"comment piece of 254, then the key", "#" + repeat('x', 253) + "Debug_Log = 9\n", 9},
    {"piece of 254, then the key", repeat('a', 254) + "Debug_Log = 9\n", 9},
    {"key split across pieces", repeat('a', 253) + "Debug_Log = 9\n", 0},
    {"1000 characters, then a line", repeat('z', 1000) + "\nDebug_Log = 3\n", 3},
};

TEST_F(InFreshFolder, SettingsTable) {
    for (const settings_case &c : cases) {
        write_file("sndlatch.ini", c.bytes);
        EXPECT_EQ(read_linked(), c.value) << c.what << ": " << quoted(c.bytes);
        DeleteFileA("sndlatch.log");

        ASSERT_TRUE(load_dll_once()) << c.what;
        bool log_exists;
        std::string log = read_file("sndlatch.log", &log_exists);
        EXPECT_EQ(log_exists, c.value != 0) << c.what << ": " << quoted(c.bytes);
        EXPECT_EQ(log, "") << c.what;
        EXPECT_EQ(read_file("sndlatch.ini"), c.bytes) << c.what << ": the settings file changed";
        DeleteFileA("sndlatch.log");
    }
}

TEST_F(InFreshFolder, NoSettingsFile) {
    EXPECT_EQ(read_linked(), 0);
    ASSERT_TRUE(load_dll_once());
    EXPECT_EQ(GetFileAttributesA("sndlatch.log"), INVALID_FILE_ATTRIBUTES);
}

TEST_F(InFreshFolder, LogIsStartedEmptyOnlyWhenSwitchedOn) {
    write_file("sndlatch.log", "from an earlier run\n");
    write_file("sndlatch.ini", "Debug_Log = 0\n");
    ASSERT_TRUE(load_dll_once());
    EXPECT_EQ(read_file("sndlatch.log"), "from an earlier run\n");

    write_file("sndlatch.ini", "Debug_Log = 1\n");
    ASSERT_TRUE(load_dll_once());
    bool exists;
    EXPECT_EQ(read_file("sndlatch.log", &exists), "");
    EXPECT_TRUE(exists);
    EXPECT_EQ(read_file("sndlatch.ini"), "Debug_Log = 1\n");
}

// The log is UTF-8 with a byte-order mark, its path fixed in the folder it
// was fixed in, whatever the current directory is later.
TEST_F(InFreshFolder, WriteDebugLogAppendsInTextMode) {
    fix_debug_log_path();
    debug_log_setting = 0;
    write_debug_log("dropped %d\n", 1);
    EXPECT_EQ(GetFileAttributesA("sndlatch.log"), INVALID_FILE_ATTRIBUTES);

    debug_log_setting = 1;
    write_debug_log("a");
    ASSERT_TRUE(CreateDirectoryA("sub", NULL));
    ASSERT_TRUE(SetCurrentDirectoryA("sub"));
    write_debug_log("b\n");
    write_debug_log_path("at ", L"C:\\\u00e4\u97f3\\x.dll", ": %s\n");
    ASSERT_TRUE(SetCurrentDirectoryA(".."));
    write_debug_log("%s=%d\n", "n", -3);
    EXPECT_EQ(read_file("sndlatch.log"),
              "\xef\xbb\xbf"
              "ab\r\nat C:\\\xc3\xa4\xe9\x9f\xb3\\x.dll: %s\r\nn=-3\r\n");
    EXPECT_EQ(GetFileAttributesA("sub\\sndlatch.log"), INVALID_FILE_ATTRIBUTES);
    debug_log_setting = 0;
}

static DWORD WINAPI log_lines(LPVOID arg) {
    for (int i = 0; i < 100; i++)
        write_debug_log("thread %d line %d\n", (int)(INT_PTR)arg, i);
    return 0;
}

// Lines written from many threads at once all arrive, none cut into another.
TEST_F(InFreshFolder, DebugLogLinesFromManyThreads) {
    fix_debug_log_path();
    debug_log_setting = 1;
    HANDLE threads[8];
    for (int t = 0; t < 8; t++)
        threads[t] = CreateThread(NULL, 0, log_lines, (LPVOID)(INT_PTR)t, 0, NULL);
    WaitForMultipleObjects(8, threads, TRUE, INFINITE);
    for (HANDLE t : threads)
        CloseHandle(t);
    debug_log_setting = 0;
    std::string log = read_file("sndlatch.log").substr(3);
    int lines = 0, next[8] = {};
    for (size_t at = 0, end; (end = log.find("\r\n", at)) != std::string::npos; at = end + 2) {
        int t = -1, i = -1;
        std::string line = log.substr(at, end - at);
        ASSERT_EQ(sscanf(line.c_str(), "thread %d line %d", &t, &i), 2) << line;
        ASSERT_TRUE(t >= 0 && t < 8 && i == next[t]) << line;
        next[t]++;
        lines++;
    }
    EXPECT_EQ(lines, 800);
}

static DWORD WINAPI idle_thread(LPVOID) {
    return 0;
}

// Thread attach and detach read no file: a log written after the load is not
// started empty again when the host starts a thread.
TEST_F(InFreshFolder, ThreadAttachReadsNoFile) {
    write_file("sndlatch.ini", "Debug_Log = 1\n");
    HMODULE m = LoadLibraryA(dll.c_str());
    ASSERT_NE(m, (HMODULE)NULL);
    write_file("sndlatch.log", "kept");
    HANDLE t = CreateThread(NULL, 0, idle_thread, NULL, 0, NULL);
    WaitForSingleObject(t, INFINITE);
    CloseHandle(t);
    EXPECT_EQ(read_file("sndlatch.log"), "kept");
    FreeLibrary(m);
}

// Whatever the folder holds, the load succeeds and the settings file is left
// as it was.
TEST_F(InFreshFolder, LoadAlwaysSucceeds) {
    std::string junk;
    unsigned seed = 12345;
    for (int i = 0; i < 100000; i++) {
        seed = seed * 1103515245 + 12345;
        junk += (char)(seed >> 16);
    }
    const std::string files[] = {
        junk,
        "Debug_Log = 1\n" + junk,
        repeat('\0', 5000) + "Debug_Log = 1",
        repeat('=', 70000),
        "Debug_Log = 99999999999999999999\n",
    };
    for (const std::string &bytes : files) {
        write_file("sndlatch.ini", bytes);
        EXPECT_TRUE(load_dll_once()) << quoted(bytes.substr(0, 40));
        EXPECT_EQ(read_file("sndlatch.ini"), bytes) << quoted(bytes.substr(0, 40));
        DeleteFileA("sndlatch.log");
    }

    // Names taken by folders: the settings file, then the log.
    ASSERT_TRUE(DeleteFileA("sndlatch.ini"));
    ASSERT_TRUE(CreateDirectoryA("sndlatch.ini", NULL));
    EXPECT_TRUE(load_dll_once());
    ASSERT_TRUE(RemoveDirectoryA("sndlatch.ini"));

    write_file("sndlatch.ini", "Debug_Log = 1\n");
    ASSERT_TRUE(CreateDirectoryA("sndlatch.log", NULL));
    EXPECT_TRUE(load_dll_once());
    EXPECT_EQ(read_linked(), 1);
    fix_debug_log_path();
    write_debug_log("nowhere to go\n");
    debug_log_setting = 0;
    EXPECT_EQ(GetFileAttributesA("sndlatch.log") & FILE_ATTRIBUTE_DIRECTORY,
              (DWORD)FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(read_file("sndlatch.ini"), "Debug_Log = 1\n");
}
