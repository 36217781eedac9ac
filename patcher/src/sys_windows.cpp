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
    // The attributes a user sets (read-only, hidden, ...), as the Linux
    // tool keeps the mode; set last, through the handle that may still write.
    constexpr DWORD kKept = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                            FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                            FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    if (error_ == 0 && like.known && (like.mode & kKept) != 0) {
        FILE_BASIC_INFO info = {};
        info.FileAttributes = like.mode & kKept;
        if (!SetFileInformationByHandle(h, FileBasicInfo, &info, sizeof info))
            error_ = int(GetLastError());
    }
    CloseHandle(h);
    handle_ = -1;
    code = error_;
    return error_ == 0;
}

bool rename_replacing(const std::string &from, const std::string &to, int &code) {
    const std::wstring f = wide(from), t = wide(to);
    // Windows replaces no read-only file; the file that replaces it carries
    // the attribute again, and a failed rename puts it back.
    const DWORD attributes = GetFileAttributesW(t.c_str());
    const bool read_only =
        attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY);
    if (read_only)
        SetFileAttributesW(t.c_str(), attributes & ~DWORD(FILE_ATTRIBUTE_READONLY));
    DWORD c = 0;
    const bool ok = retry_busy(
        [&] {
            return MoveFileExW(f.c_str(), t.c_str(),
                               MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
        },
        5000, c);
    if (!ok && read_only)
        SetFileAttributesW(t.c_str(), attributes);
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

bool may_replace(const std::string &path, int &code) {
    const HANDLE h = CreateFileW(wide(path).c_str(), DELETE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        code = int(GetLastError());
        return false;
    }
    CloseHandle(h);
    return true;
}

void sync_folder(const std::string &) {}

std::string tool_folder() {
    std::wstring name(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, &name[0], DWORD(name.size()));
        if (n == 0)
            return "";
        if (n < name.size()) {
            name.resize(n);
            break;
        }
        name.resize(name.size() * 2);
    }
    return utf8_name(std::filesystem::path(name).parent_path());
}

std::string final_path(const std::string &path) {
    const std::wstring s = final_name(wide(path));
    return s.empty() ? "" : narrow(s.c_str());
}

PathKind path_kind(const std::string &path) {
    const HANDLE h =
        CreateFileW(wide(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        // A name in a missing folder is new too; creating it says why not.
        return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ? PathKind::Missing
                                                                            : PathKind::Other;
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
        return code == ERROR_FILE_NOT_FOUND; // an empty drive has no "." either
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
