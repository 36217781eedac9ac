#include "cli.hpp"

#include <exception>
#include <iostream>

#ifdef _WIN32
#include <windows.h>

#include <shellapi.h>
#include <streambuf>
#endif

namespace {

int run_guarded(const std::vector<std::string> &args, std::ostream &out, std::ostream &err) {
    try {
        return sndlatch::run(args, out, err);
    } catch (const std::exception &e) {
        // Only a bug gets here; the file has not been written.
        err << "sndlatch-patch: internal error: " << e.what() << "\n";
        return sndlatch::kExitUsage;
    }
}

} // namespace

#ifdef _WIN32

namespace {

// The UTF-8 form of a UTF-16 string; false for one that is not valid
// UTF-16, which no file can be named by.
bool to_utf8(const wchar_t *s, std::string &utf8) {
    const int n =
        WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, s, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 0)
        return false;
    utf8.assign(size_t(n), '\0');
    WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, s, -1, &utf8[0], n, nullptr, nullptr);
    utf8.resize(size_t(n) - 1);
    return true;
}

// Writes the tool's UTF-8 text to a standard handle: to a console through
// WriteConsoleW, so that every name shows as it is whatever the code page,
// and to a file or pipe as UTF-8 with CR LF line ends, as text files are
// on Windows. Whole lines are passed on, so no character is split.
class HandleBuf : public std::streambuf {
  public:
    explicit HandleBuf(DWORD which) : handle_(GetStdHandle(which)) {
        DWORD mode;
        console_ = GetConsoleMode(handle_, &mode) != 0;
    }
    ~HandleBuf() override {
        sync();
    }

  protected:
    int_type overflow(int_type c) override {
        if (traits_type::eq_int_type(c, traits_type::eof()))
            return traits_type::not_eof(c);
        if (c == '\n' && !console_)
            line_ += '\r';
        line_ += traits_type::to_char_type(c);
        if (c == '\n')
            sync();
        return c;
    }
    int sync() override {
        DWORD done;
        if (console_ && !line_.empty()) {
            const int n =
                MultiByteToWideChar(CP_UTF8, 0, line_.data(), int(line_.size()), nullptr, 0);
            std::wstring wide(size_t(n), L'\0');
            MultiByteToWideChar(CP_UTF8, 0, line_.data(), int(line_.size()), &wide[0], n);
            WriteConsoleW(handle_, wide.data(), DWORD(wide.size()), &done, nullptr);
        } else if (!line_.empty()) {
            WriteFile(handle_, line_.data(), DWORD(line_.size()), &done, nullptr);
        }
        line_.clear();
        return 0;
    }

  private:
    HANDLE handle_;
    bool console_ = false;
    std::string line_;
};

// Wine runs the tool from a terminal (or a script), which stays open when it
// exits; its console is the terminal, with no other Windows process on it.
bool under_wine() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// A program dropped on the tool in Explorer starts it in a console window
// of its own, which closes the moment it exits: then wait for Enter, so
// that the message can be read. Never when the console is shared (a
// command prompt) or the input is not a console, so scripts cannot hang.
void wait_if_own_console(std::ostream &out) {
    const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    DWORD processes[2], mode;
    if (GetConsoleProcessList(processes, 2) != 1 || !GetConsoleMode(in, &mode) || under_wine())
        return;
    out << "Press Enter to close this window." << std::endl;
    wchar_t line[256];
    DWORD read;
    ReadConsoleW(in, line, 256, &read, nullptr);
}

} // namespace

// The command line is taken as UTF-16, so that every name reaches the tool
// as typed, whatever the ANSI code page.
int main() {
    int argc = 0;
    wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    std::vector<std::string> args(argc > 1 ? size_t(argc - 1) : 0);
    bool valid = argv != nullptr;
    for (size_t i = 0; valid && i < args.size(); ++i)
        valid = to_utf8(argv[i + 1], args[i]);
    LocalFree(argv);

    HandleBuf out_buf(STD_OUTPUT_HANDLE), err_buf(STD_ERROR_HANDLE);
    std::ostream out(&out_buf), err(&err_buf);
    int code = sndlatch::kExitUsage;
    if (valid)
        code = run_guarded(args, out, err);
    else
        err << "sndlatch-patch: the command line holds a name that is not valid UTF-16\n";
    out.flush();
    err.flush();
    wait_if_own_console(out);
    return code;
}

#else

#include <csignal>

int main(int argc, char **argv) {
    // A reader that goes away (`| head`) must not end the tool halfway
    // through its work, nor change its exit code once the work is done.
    signal(SIGPIPE, SIG_IGN);
    return run_guarded(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr);
}

#endif
