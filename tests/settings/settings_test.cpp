// The settings file and the debug log, tested two ways: through the settings
// code linked into this program, which shows the value read, and through the
// built sndlatch.dll, loaded in a fresh folder, which shows what a host sees.

#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "settings.h"

using namespace std::string_literals;

static std::string read_file(const std::string &path, bool *exists = NULL) {
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

static void write_file(const std::string &path, const std::string &bytes) {
    FILE *f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, (FILE *)NULL) << path;
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
}

// Bytes as a C string literal, so that a failing case can be pasted back.
static std::string quoted(const std::string &bytes) {
    std::string out = "\"";
    for (unsigned char c : bytes) {
        char buf[8];
        if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else if (c == '"' || c == '\\')
            out += "\\"s + (char)c;
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
        dir = previous + "\\work-" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
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
    {"byte-order mark spoils the first line", "\xef\xbb\xbf" "Debug_Log = 1\n", 0},
    {"byte-order mark, second line read", "\xef\xbb\xbf" "Debug_Log = 1\nDebug_Log = 5\n", 5},
    {"no final newline", "Debug_Log = 8", 8},
    {"CR LF", "Debug_Log = 1\r\nDebug_Log = 9\r\n", 9},
    {"CR LF blank line is skipped", "\r\nDebug_Log = 1\r\n", 1},
    {"Ctrl-Z ends the file", "Debug_Log = 1\n\x1a" "Debug_Log = 0\n", 1},
    {"Ctrl-Z inside a line", "Debug_Log = 2\x1a" "3\n", 2},
    {"Ctrl-Z before the key", "\x1a" "Debug_Log = 1\n", 0},
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

TEST_F(InFreshFolder, WriteDebugLogAppendsInTextMode) {
    debug_log_setting = 0;
    write_debug_log("dropped %d\n", 1);
    EXPECT_EQ(GetFileAttributesA("sndlatch.log"), INVALID_FILE_ATTRIBUTES);

    debug_log_setting = 1;
    write_debug_log("a");
    write_debug_log("b\n");
    write_debug_log("%s=%d\n", "n", -3);
    EXPECT_EQ(read_file("sndlatch.log"), "ab\r\nn=-3\r\n");
    debug_log_setting = 0;
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
    write_debug_log("nowhere to go\n");
    debug_log_setting = 0;
    EXPECT_EQ(GetFileAttributesA("sndlatch.log") & FILE_ATTRIBUTE_DIRECTORY,
              (DWORD)FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(read_file("sndlatch.ini"), "Debug_Log = 1\n");
}
