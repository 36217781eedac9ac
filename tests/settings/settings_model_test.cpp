// Thousands of generated settings files, each loaded by the built DLL and
// judged by a small model of how the file reads. The model is written from
// the file format alone: msvcrt text mode, pieces of at most 254 characters,
// and the "%9s = %ld" scan, with the number kept to its low 32 bits.

#include <gtest/gtest.h>

#include <windows.h>

#include <stdint.h>
#include <string>

#include "settings_folder.h"

// ---- the model ---------------------------------------------------------------

// What msvcrt's text mode hands to the reader: CR LF becomes LF, and a
// Ctrl-Z byte ends the file.
static std::string text_mode(const std::string &bytes) {
    std::string text;
    for (size_t i = 0; i < bytes.size() && bytes[i] != '\x1a'; i++)
        if (!(bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n'))
            text += bytes[i];
    return text;
}

static bool blank(unsigned char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

static bool same_key(const std::string &key) {
    const char *want = "debug_log";
    if (key.size() != 9)
        return false;
    for (size_t i = 0; i < 9; i++)
        if ((key[i] >= 'A' && key[i] <= 'Z' ? key[i] + 32 : key[i]) != want[i])
            return false;
    return true;
}

// One piece read as "%9s = %ld": true and the value when the key matches.
static bool scan_piece(const std::string &piece, int32_t *value) {
    const std::string s = piece.substr(0, piece.find('\0'));
    size_t i = 0;
    while (i < s.size() && blank(s[i]))
        i++;
    std::string key;
    while (i < s.size() && !blank(s[i]) && key.size() < 9)
        key += s[i++];
    while (i < s.size() && blank(s[i]))
        i++;
    if (key.empty() || i >= s.size() || s[i] != '=')
        return false;
    i++;
    while (i < s.size() && blank(s[i]))
        i++;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-'))
        negative = s[i++] == '-';
    uint64_t number = 0;
    size_t digits = 0;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; i++, digits++)
        number = number * 10 + (uint64_t)(s[i] - '0');
    if (digits == 0 || !same_key(key))
        return false;
    *value = (int32_t)(uint32_t)(negative ? 0 - number : number);
    return true;
}

static bool model_switch_on(const std::string &bytes) {
    const std::string text = text_mode(bytes);
    int32_t setting = 0;
    for (size_t pos = 0; pos < text.size();) {
        size_t end = pos;
        while (end < text.size() && end - pos < 254)
            if (text[end++] == '\n')
                break;
        const std::string piece = text.substr(pos, end - pos);
        pos = end;
        if (piece[0] == '#' || piece[0] == '\n')
            continue;
        int32_t value;
        if (scan_piece(piece, &value))
            setting = value;
    }
    return setting != 0;
}

// ---- the generator -----------------------------------------------------------

static uint32_t rng_state = 20261208;
static uint32_t next(uint32_t n) {
    rng_state = rng_state * 1664525u + 1013904223u;
    return (rng_state >> 8) % n;
}
template <size_t N> static const char *pick(const char *const (&options)[N]) {
    return options[next(N)];
}

static std::string mixed_case(std::string s) {
    for (char &c : s)
        if (next(3) == 0 && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')))
            c ^= 0x20;
    return s;
}

static std::string filler(size_t length) {
    static const char chars[] = "abcXYZ019 \t#=_-";
    std::string s;
    while (s.size() < length)
        s += chars[next(sizeof chars - 1)];
    return s;
}

static std::string setting_line() {
    static const char *const prefixes[] = {"", "", "", " ", "\t", "  # ", "#", "\xef\xbb\xbf"};
    static const char *const keys[] = {"Debug_Log",  "Debug_Log",     "Debug_Log", "Debug_Lo",
                                       "Debug_Logg", "Debug_Logging", "DebugLog",  "Debug Log",
                                       "Volume",     "#Debug_Log",    "Debug_Log="};
    static const char *const gaps[] = {"", "", " ", " ", "\t", " \t ", "\r", "\v\f"};
    static const char *const signs[] = {"", "", "", "+", "-", "--", "+-"};
    static const char *const numbers[] = {"0",
                                          "1",
                                          "1",
                                          "7",
                                          "12",
                                          "00",
                                          "0001",
                                          "0x10",
                                          "x1",
                                          "",
                                          "2147483647",
                                          "2147483648",
                                          "4294967295",
                                          "4294967296",
                                          "8589934592",
                                          "18446744073709551616",
                                          "99999999999999999999999",
                                          "-0"};
    static const char *const tails[] = {"", "", "", "abc", " 5", "\t#", "=3", ".5"};
    std::string line = pick(prefixes) + mixed_case(pick(keys)) + pick(gaps);
    line += next(10) ? "=" : pick(gaps);
    line += std::string(pick(gaps)) + pick(signs) + pick(numbers) + pick(tails);
    return line;
}

static std::string generated_file() {
    static const char *const ends[] = {"\n", "\n", "\n", "\r\n", "\r\n", "\r", ""};
    static const char *const fixed_lines[] = {"",          "# a comment",   "  # indented",
                                              "[section]", "Debug_Log = 1", "Debug_Log = 0"};
    std::string file = next(12) ? "" : "\xef\xbb\xbf";
    int lines = 1 + (int)next(6);
    for (int i = 0; i < lines; i++) {
        switch (next(8)) {
        case 0:
            file += pick(fixed_lines);
            break;
        case 1: // around the 254-character piece, sometimes straight into a setting
            file += filler(250 + next(11));
            if (next(2))
                file += setting_line();
            break;
        case 2:
            file += filler(1000);
            break;
        default:
            file += setting_line();
        }
        file += (i + 1 < lines) ? pick(ends) : next(4) ? pick(ends) : "";
    }
    for (int extra = 0; extra < 2; extra++) {
        if (!file.empty() && next(8) == 0)
            file.insert(next((uint32_t)file.size() + 1), 1, '\x1a');
        if (!file.empty() && next(10) == 0)
            file.insert(next((uint32_t)file.size() + 1), 1, '\0');
    }
    return file;
}

// ---- the comparison ----------------------------------------------------------

TEST_F(InFreshFolder, DllAgreesWithModelOnGeneratedFiles) {
    const int files = 2500;
    int on = 0, disagreements = 0;
    for (int n = 0; n < files; n++) {
        const std::string bytes = generated_file();
        const bool expected = model_switch_on(bytes);
        on += expected;
        write_file("sndlatch.ini", bytes);
        DeleteFileA("sndlatch.log");
        ASSERT_TRUE(load_dll_once()) << "file " << n << ": " << quoted(bytes);
        const bool log = GetFileAttributesA("sndlatch.log") != INVALID_FILE_ATTRIBUTES;
        if (log != expected && ++disagreements <= 20)
            ADD_FAILURE() << "file " << n << ": the DLL turned the log " << (log ? "on" : "off")
                          << ", the model expected " << (expected ? "on" : "off")
                          << "\n    {\"file " << n << "\", " << quoted(bytes) << ", "
                          << (log ? 1 : 0) << "},";
        ASSERT_EQ(read_file("sndlatch.ini"), bytes) << "file " << n << ": the settings changed";
    }
    EXPECT_EQ(disagreements, 0);
    // The generator must reach both answers often, or the comparison says little.
    EXPECT_GT(on, files / 10);
    EXPECT_LT(on, files - files / 10);
    printf("%d settings files compared, %d turned the log on, %d disagreements\n", files, on,
           disagreements);
}
