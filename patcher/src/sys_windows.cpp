// The platform layer on Windows (see sys.hpp). Names are UTF-8 in the tool
// and UTF-16 here.
#ifdef _WIN32

#include "sys.hpp"

#include "files.hpp"

#include <windows.h>

#include <ostream>

namespace sndlatch {

namespace {

std::wstring wide(const std::string &utf8) {
    return fs_path(utf8).wstring();
}

std::string narrow(const wchar_t *s) {
    return utf8_name(std::filesystem::path(s));
}

HANDLE as_handle(intptr_t h) {
    return reinterpret_cast<HANDLE>(h);
}

// Whether an error may be another process holding the file for a moment:
// a virus scanner that opens each new file, an indexer, or another run
// that is about to let go of it.
bool is_busy_error(DWORD code) {
    return code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION ||
           code == ERROR_ACCESS_DENIED;
}

// Retries `step` while it fails with is_busy_error, for up to `ms`.
template <typename Step> bool retry_busy(Step step, DWORD ms, DWORD &code) {
    for (DWORD waited = 0;; waited += 50) {
        if (step())
            return true;
        code = GetLastError();
        if (!is_busy_error(code) || waited >= ms)
            return false;
        Sleep(50);
    }
}

// The name the system finally opens for `name`, links followed, without
// the \\?\ prefix; "" when it cannot be opened.
std::wstring final_name(const std::wstring &name) {
    const HANDLE h =
        CreateFileW(name.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return L"";
    wchar_t buffer[32768];
    const DWORD n = GetFinalPathNameByHandleW(h, buffer, 32768, FILE_NAME_NORMALIZED);
    CloseHandle(h);
    if (n == 0 || n >= 32768)
        return L"";
    std::wstring s(buffer, n);
    if (s.rfind(L"\\\\?\\UNC\\", 0) == 0)
        return L"\\" + s.substr(7);
    return s.rfind(L"\\\\?\\", 0) == 0 ? s.substr(4) : s;
}

} // namespace

std::string system_reason(int code) {
    wchar_t *text = nullptr;
    const DWORD n = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, DWORD(code), 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    std::string s = n != 0 ? narrow(text) : "error " + std::to_string(DWORD(code));
    LocalFree(text);
    while (!s.empty() &&
           (s.back() == '.' || s.back() == '\n' || s.back() == '\r' || s.back() == ' '))
        s.pop_back();
    if (s.size() > 1 && s[0] >= 'A' && s[0] <= 'Z' && s[1] >= 'a' && s[1] <= 'z')
        s[0] = char(s[0] - 'A' + 'a');
    return s;
}

int last_error() {
    return int(GetLastError());
}

bool is_exists_error(int code) {
    return code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS;
}

FileMeta read_meta(const std::string &path) {
    FileMeta m;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(wide(path).c_str(), GetFileExInfoStandard, &data))
        return m;
    m.known = true;
    m.mode = data.dwFileAttributes;
    m.mtime = int64_t(uint64_t(data.ftLastWriteTime.dwHighDateTime) << 32 |
                      data.ftLastWriteTime.dwLowDateTime);
    return m;
}

NewFile::~NewFile() {
    if (handle_ != -1)
        CloseHandle(as_handle(handle_));
}

bool NewFile::create(const std::string &path, int &code) {
    // No sharing until it is closed: nobody else reads a half-written file,
    // and nobody deletes it as a leftover while it is written.
    const HANDLE h = CreateFileW(wide(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        code = int(GetLastError());
        return false;
    }
    handle_ = reinterpret_cast<intptr_t>(h);
    error_ = 0;
    setp(buffer_, buffer_ + sizeof buffer_);
    return true;
}

bool NewFile::drain() {
    for (const char *p = pbase(); p < pptr() && error_ == 0;) {
        DWORD done = 0;
        if (!WriteFile(as_handle(handle_), p, DWORD(pptr() - p), &done, nullptr))
            error_ = int(GetLastError());
        p += done;
    }
    setp(buffer_, buffer_ + sizeof buffer_);
    return error_ == 0;
}

NewFile::pos_type NewFile::seekoff(off_type off, std::ios_base::seekdir dir,
                                   std::ios_base::openmode) {
    if (!drain())
        return pos_type(off_type(-1));
    LARGE_INTEGER to, at;
    to.QuadPart = off;
    const DWORD method = dir == std::ios_base::beg   ? FILE_BEGIN
                         : dir == std::ios_base::cur ? FILE_CURRENT
                                                     : FILE_END;
    if (!SetFilePointerEx(as_handle(handle_), to, &at, method)) {
        error_ = int(GetLastError());
        return pos_type(off_type(-1));
    }
    return pos_type(off_type(at.QuadPart));
}

bool NewFile::finish(const FileMeta &like, bool owner_and_time, int &code) {
    const HANDLE h = as_handle(handle_);
    drain();
    if (error_ == 0 && like.known && owner_and_time) {
        FILETIME t;
        t.dwLowDateTime = DWORD(uint64_t(like.mtime));
        t.dwHighDateTime = DWORD(uint64_t(like.mtime) >> 32);
        if (!SetFileTime(h, nullptr, nullptr, &t))
            error_ = int(GetLastError());
    }
    if (error_ == 0 && !FlushFileBuffers(h))
        error_ = int(GetLastError());
    CloseHandle(h);
    handle_ = -1;
    code = error_;
    return error_ == 0;
}

bool rename_replacing(const std::string &from, const std::string &to, int &code) {
    const std::wstring f = wide(from), t = wide(to);
    DWORD c = 0;
    const bool ok = retry_busy(
        [&] {
            return MoveFileExW(f.c_str(), t.c_str(),
                               MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
        },
        5000, c);
    code = int(c);
    return ok;
}

bool rename_new(const std::string &from, const std::string &to, int &code) {
    const std::wstring f = wide(from), t = wide(to);
    DWORD c = 0;
    const bool ok = retry_busy(
        [&] { return MoveFileExW(f.c_str(), t.c_str(), MOVEFILE_WRITE_THROUGH); }, 1000, c);
    code = int(c);
    return ok;
}

void sync_folder(const std::string &) {}

RunLock::~RunLock() {
    release();
}

bool RunLock::take(const std::string &file, std::ostream &err, std::string &error) {
    release();
    const std::wstring name = wide(file);
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
    std::wstring key = final_name(name);
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
    // Leftovers of a killed run: a live run keeps its temporary files open
    // without sharing, so they cannot be deleted, and a killed one's can.
    const std::filesystem::path p = fs_path(file);
    const std::string folder = p.has_parent_path() ? utf8_name(p.parent_path()) : ".";
    const std::string prefix = utf8_name(p.filename()) + ".sndlatch-tmp";
    std::vector<FolderEntry> entries;
    int code;
    if (list_folder(folder, entries, code))
        for (const FolderEntry &e : entries)
            if (e.kind == EntryKind::File && e.name.size() > prefix.size() &&
                _strnicmp(e.name.c_str(), prefix.c_str(), prefix.size()) == 0 &&
                e.name.find_first_not_of("0123456789", prefix.size()) == std::string::npos) {
                const std::wstring left = wide(folder + "\\" + e.name);
                SetFileAttributesW(left.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(left.c_str());
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

PathKind path_kind(const std::string &path) {
    const HANDLE h =
        CreateFileW(wide(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        return code == ERROR_FILE_NOT_FOUND ? PathKind::Missing : PathKind::Other;
    }
    BY_HANDLE_FILE_INFORMATION info;
    const bool regular = GetFileType(h) == FILE_TYPE_DISK && GetFileInformationByHandle(h, &info) &&
                         !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    CloseHandle(h);
    return regular ? PathKind::Regular : PathKind::Other;
}

std::string link_target(const std::string &path) {
    // The name the system finally opens, compared with the name the folder
    // finally has plus the file's own name: they differ only for a link.
    // (Wine shows a link to a file as a plain file; this finds it too.)
    const std::filesystem::path p = fs_path(path);
    const std::wstring file = final_name(p.wstring());
    const std::wstring folder =
        final_name(p.has_parent_path() ? p.parent_path().wstring() : std::wstring(L"."));
    if (file.empty() || folder.empty())
        return "";
    const std::wstring expected = (std::filesystem::path(folder) / p.filename()).wstring();
    return CompareStringOrdinal(file.c_str(), -1, expected.c_str(), -1, TRUE) == CSTR_EQUAL
               ? ""
               : narrow(file.c_str());
}

bool list_folder(const std::string &folder, std::vector<FolderEntry> &entries, int &code) {
    entries.clear();
    WIN32_FIND_DATAW d;
    const HANDLE h = FindFirstFileExW((fs_path(folder) / L"*").c_str(), FindExInfoBasic, &d,
                                      FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (h == INVALID_HANDLE_VALUE) {
        code = int(GetLastError());
        return false;
    }
    do {
        if (wcscmp(d.cFileName, L".") == 0 || wcscmp(d.cFileName, L"..") == 0)
            continue;
        // Junctions, mount points and links to folders are all reparse
        // points, and so are Wine's Unix links to folders.
        const DWORD a = d.dwFileAttributes;
        const EntryKind kind = !(a & FILE_ATTRIBUTE_DIRECTORY)      ? EntryKind::File
                               : (a & FILE_ATTRIBUTE_REPARSE_POINT) ? EntryKind::FolderLink
                                                                    : EntryKind::Folder;
        entries.push_back({narrow(d.cFileName), kind});
    } while (FindNextFileW(h, &d));
    code = int(GetLastError());
    FindClose(h);
    return code == ERROR_NO_MORE_FILES;
}

} // namespace sndlatch

#endif
