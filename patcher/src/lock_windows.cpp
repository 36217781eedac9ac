// The lock per program on Windows (see RunLock in sys.hpp).
#ifdef _WIN32

#include "sys.hpp"

#include "files.hpp"

#include <windows.h>

#include <ostream>

namespace sndlatch {

namespace {

HANDLE as_handle(intptr_t h) {
    return reinterpret_cast<HANDLE>(h);
}

} // namespace

RunLock::~RunLock() {
    release();
}

bool RunLock::take(const std::string &file, std::ostream &err, std::string &error) {
    release();
    const std::wstring name = fs_path(file).wstring();
    bool said = false;
    const auto say_waiting = [&] {
        if (!said)
            err << "sndlatch-patch: waiting for " << file
                << ", which another program or run has open\n";
        said = true;
    };
    // First a mutex named after the file's final path, held to the end of
    // the run, also while the file is replaced (when it cannot be held
    // open). A run that dies leaves it abandoned, and the next one gets it.
    // A new name (-o) is named by its folder's final path.
    const std::filesystem::path p = fs_path(file);
    std::wstring key = fs_path(final_path(file)).wstring();
    const std::string folder = final_path(p.has_parent_path() ? utf8_name(p.parent_path()) : ".");
    if (key.empty() && !folder.empty())
        key = (fs_path(folder) / p.filename()).wstring();
    if (!key.empty()) {
        CharLowerBuffW(&key[0], DWORD(key.size()));
        uint64_t hash = 14695981039346656037ull; // FNV-1a: the name may be too long for a mutex
        for (const wchar_t c : key)
            hash = (hash ^ uint16_t(c)) * 1099511628211ull;
        const HANDLE m = CreateMutexW(nullptr, FALSE,
                                      (L"Local\\sndlatch-patch-" + std::to_wstring(hash)).c_str());
        DWORD got = m ? WaitForSingleObject(m, 0) : WAIT_FAILED;
        if (got == WAIT_TIMEOUT) {
            say_waiting();
            got = WaitForSingleObject(m, INFINITE);
        }
        if (got == WAIT_OBJECT_0 || got == WAIT_ABANDONED)
            mutex_ = reinterpret_cast<intptr_t>(m);
        else if (m)
            CloseHandle(m);
    }
    // Another run asks for write access and shares only reading and
    // deleting, so two runs exclude each other, whatever name or link
    // each came by; readers (a scan, a virus scanner) still may read.
    for (DWORD waited = 0;; waited += 100) {
        const HANDLE h =
            CreateFileW(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            handle_ = reinterpret_cast<intptr_t>(h);
            break;
        }
        const DWORD code = GetLastError();
        if (code != ERROR_SHARING_VIOLATION && code != ERROR_LOCK_VIOLATION)
            break; // missing or read-only: the steps that follow say so
        if (waited >= 5000) {
            error = file + " is in use by another program (or another run of this tool); close it "
                           "and try again";
            return false;
        }
        say_waiting();
        Sleep(100);
    }
    return true;
}

void RunLock::before_replace() {
    if (handle_ != -1)
        CloseHandle(as_handle(handle_));
    handle_ = -1;
}

void RunLock::release() {
    before_replace();
    if (mutex_ != -1) {
        ReleaseMutex(as_handle(mutex_));
        CloseHandle(as_handle(mutex_));
    }
    mutex_ = -1;
}

} // namespace sndlatch

#endif
