#include "scan.hpp"

#include "cli.hpp"
#include "files.hpp"
#include "patch.hpp"
#include "sys.hpp"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <functional>
#include <map>
#include <ostream>
#include <set>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace sndlatch {

const char *const kUse64BitDropin = "64-bit: use the 64-bit drop-in winmm.dll";

namespace {

// Streams the file in blocks that overlap by the needle's length less one,
// so a string across a block boundary is found too.
bool file_contains(const ByteSource &file, const std::string &needle) {
    constexpr size_t kBlock = 1 << 20;
    const std::boyer_moore_horspool_searcher search(needle.begin(), needle.end());
    std::vector<char> buffer(std::min(file.size(), kBlock));
    for (size_t at = 0; at < file.size();) {
        const size_t n = std::min(buffer.size(), file.size() - at);
        file.read(at, buffer.data(), n);
        if (std::search(buffer.begin(), buffer.begin() + ptrdiff_t(n), search) !=
            buffer.begin() + ptrdiff_t(n))
            return true;
        if (at + n == file.size() || n < needle.size())
            break;
        at += n - (needle.size() - 1);
    }
    return false;
}

const char *describe(Reach r) {
    switch (r) {
    case Reach::Patchable:
        return "patchable: imports waveOutOpen by name";
    case Reach::Unpatchable:
        return "imports waveOutOpen by name but cannot be patched";
    case Reach::AlreadyPatched:
        return "already patched";
    case Reach::ByOrdinal:
        return "imports WINMM.DLL by ordinal: use the drop-in winmm.dll";
    case Reach::DelayLoaded:
        return "delay-loads WINMM.DLL: use the drop-in winmm.dll";
    case Reach::RunTime:
        return "looks up waveOutOpen at run time (GetProcAddress): use the drop-in winmm.dll";
    case Reach::Provider:
        return "exports waveOutOpen itself (a WINMM.DLL); left alone";
    case Reach::DropIn:
        return "the drop-in: this folder already uses it";
    case Reach::Sndlatch:
        return "sndlatch.dll itself or a copy; never patched";
    case Reach::Bit64:
        return kUse64BitDropin;
    case Reach::None:
        return "does not use waveOutOpen";
    case Reach::Skipped:
        break;
    }
    return "skipped";
}

bool is_module_name(const fs::path &p) {
    const std::string ext = p.extension().string();
    return iequals(ext, ".exe") || iequals(ext, ".dll");
}

bool name_is(const fs::path &p, const char *name) {
    return iequals(p.filename().string(), name);
}

std::string count(size_t n, const char *one, const char *many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// Where the scanned modules are: which folders hold a .exe, sndlatch.dll,
// and the drop-in; and the folder of the program a module belongs to.
struct Folders {
    fs::path root;
    std::set<fs::path> with_exe, with_dll;
    std::map<fs::path, std::vector<std::string>> patched_by_program; // patched modules

    explicit Folders(const fs::path &r, const std::vector<fs::path> &files) : root(r) {
        for (const fs::path &p : files) {
            if (iequals(p.extension().string(), ".exe"))
                with_exe.insert(p.parent_path());
            if (name_is(p, kDllName))
                with_dll.insert(p.parent_path());
        }
    }
    // A .exe's own folder; for a DLL, the nearest folder from its own up to
    // the scanned one that holds a .exe, where the loader looks for
    // sndlatch.dll; the DLL's own folder when none does.
    fs::path program_folder(const fs::path &module) const {
        fs::path folder = module.parent_path();
        if (iequals(module.extension().string(), ".exe"))
            return folder;
        const fs::path rel = module.lexically_relative(root);
        size_t levels = size_t(std::distance(rel.begin(), rel.end()));
        for (fs::path f = folder; levels-- > 0; f = f.parent_path()) {
            if (with_exe.count(f))
                return f;
        }
        return folder;
    }
    std::string name(const fs::path &folder) const {
        const std::string rel = folder.lexically_relative(root).generic_u8string();
        return rel.empty() || rel == "." ? root.u8string() : rel;
    }
};

} // namespace

ScanResult scan_module(std::shared_ptr<const ByteSource> file) {
    ScanResult r;
    try {
        // A 64-bit module is read like a 32-bit one, but only the drop-in
        // built for it can reach it.
        const PeImage pe = parse_pe_any(file);
        if (!pe.pe32_plus && exports_name(pe, kExportName)) {
            r.reach = Reach::Sndlatch;
            return r;
        }
        bool by_name = false, by_ordinal = false, patched = false, lookup = false;
        for (const ImportDescriptor &d : read_imports(pe)) {
            const bool winmm = is_winmm(d.dll);
            for (const Thunk &t : d.thunks) {
                by_ordinal |= winmm && t.by_ordinal;
                by_name |= winmm && t.name == "waveOutOpen";
                r.closes |= winmm && t.name == "waveOutClose";
                patched |= iequals(d.dll, kDllName) && t.name == kExportName;
                lookup |= t.name == "GetProcAddress";
            }
        }
        bool delayed = false;
        for (const std::string &dll : read_delay_import_dlls(pe))
            delayed |= is_winmm(dll);

        if (pe.pe32_plus) {
            if (exports_name(pe, "waveOutOpen"))
                r.reach = Reach::Provider;
            else if (by_name || by_ordinal || delayed ||
                     (lookup && file_contains(*file, "waveOutOpen")))
                r.reach = Reach::Bit64;
        } else if (by_ordinal) {
            r.reach = Reach::ByOrdinal;
        } else if (delayed) {
            r.reach = Reach::DelayLoaded;
        } else if (by_name || patched) {
            // The same decision as --check and patching make.
            try {
                const Decision d = decide(file, PatchOptions{});
                r.reach = d.analysis.verdict == Verdict::AlreadyPatched ? Reach::AlreadyPatched
                                                                        : Reach::Patchable;
            } catch (const Refusal &e) {
                r.reach = Reach::Unpatchable;
                r.reason = e.what();
            }
        } else if (exports_name(pe, "waveOutOpen")) {
            // sndlatch's drop-in reads sndlatch.ini; no other WINMM does.
            r.reach = file_contains(*file, "sndlatch.ini") ? Reach::DropIn : Reach::Provider;
        } else if (lookup && file_contains(*file, "waveOutOpen")) {
            r.reach = Reach::RunTime;
        }
    } catch (const Refusal &e) {
        r = ScanResult();
        r.reach = Reach::Skipped;
        r.reason = e.what();
    }
    return r;
}

namespace {

// Collects the modules in `root` and below into `files`, one folder open
// at a time, so that a deep tree needs no more open files than a flat one.
// Links to folders (and junctions) are never entered, so no folder is
// listed twice and a link loop ends nowhere. Each folder that cannot be
// listed gets a line on `err` and is counted in `unlisted`. False with the
// error code when `root` itself cannot be listed.
bool collect_modules(const fs::path &root, std::vector<fs::path> &files, size_t &unlisted,
                     int &code, std::ostream &err) {
    std::vector<fs::path> folders{root};
    std::vector<FolderEntry> entries;
    while (!folders.empty()) {
        const fs::path folder = std::move(folders.back());
        folders.pop_back();
        if (!list_folder(utf8_name(folder), entries, code)) {
            if (folder == root)
                return false;
            err << "sndlatch-patch: cannot list " << utf8_name(folder) << ": "
                << system_reason(code) << "\n";
            ++unlisted;
        }
        for (const FolderEntry &e : entries) {
            if (e.kind == EntryKind::Folder)
                folders.push_back(folder / fs_path(e.name));
            else if (e.kind == EntryKind::File && is_module_name(fs_path(e.name)))
                files.push_back(folder / fs_path(e.name));
        }
    }
    return true;
}

} // namespace

int run_scan(const std::string &folder, std::ostream &out, std::ostream &err) {
    std::error_code ec;
    const fs::path root = fs_path(folder);
    if (!fs::is_directory(root, ec)) {
        err << "sndlatch-patch: " << folder << ": not a folder\n";
        return kExitUsage;
    }
    std::vector<fs::path> files;
    size_t unlisted = 0;
    int code = 0;
    if (!collect_modules(root, files, unlisted, code, err)) {
        err << "sndlatch-patch: " << folder << ": " << system_reason(code) << "\n";
        return kExitUsage;
    }
    std::sort(files.begin(), files.end());
    Folders folders(root, files);
    std::set<fs::path> dropin_folders;

    size_t patchable = 0, dropin = 0, patched = 0, left = 0, skipped = 0;
    for (const fs::path &p : files) {
        const std::string name = p.lexically_relative(root).generic_u8string();
        std::string error;
        ScanResult r;
        const std::shared_ptr<FileSource> f = FileSource::open(p.u8string(), error);
        try {
            if (!f)
                throw ReadError(error);
            r = scan_module(f);
        } catch (const ReadError &e) {
            r.reach = Reach::Skipped;
            r.reason = std::string("cannot be read: ") + e.what();
        }
        if (r.reach == Reach::DropIn && !name_is(p, "winmm.dll"))
            r.reach = Reach::Provider; // a copy under another name is never loaded
        out << name << ": " << describe(r.reach);
        if (r.reach == Reach::Skipped)
            out << " (" << r.reason << ")";
        else if (!r.reason.empty())
            out << ": " << r.reason
                << (r.reason.find("drop-in") == std::string::npos ? "; use the drop-in winmm.dll"
                                                                  : "");
        const fs::path program = folders.program_folder(p);
        if (r.reach == Reach::AlreadyPatched) {
            folders.patched_by_program[program].push_back(name);
            if (!folders.with_dll.count(program))
                out << "; but " << kDllName << " is not in " << folders.name(program)
                    << ", beside the program's .exe: copy it there, or the program will not "
                       "start";
        }
        if (r.reach == Reach::DropIn)
            dropin_folders.insert(p.parent_path());
        if (r.closes)
            out << "; note: " << kCloseNote;
        out << "\n";
        switch (r.reach) {
        case Reach::Patchable:
            ++patchable;
            break;
        case Reach::Unpatchable:
        case Reach::ByOrdinal:
        case Reach::DelayLoaded:
        case Reach::RunTime:
        case Reach::Bit64:
            ++dropin;
            break;
        case Reach::AlreadyPatched:
            ++patched;
            break;
        case Reach::Skipped:
            ++skipped;
            break;
        default:
            ++left;
        }
    }
    out << count(files.size(), "file", "files") << ": " << patchable << " patchable, " << patched
        << " already patched, " << dropin << (dropin == 1 ? " needs" : " need")
        << " the drop-in winmm.dll, " << left << " left alone, " << skipped << " skipped\n";
    // Both ways at once: the patched module calls sndlatch.dll, and the
    // drop-in answers the platform's opens too; one or the other is enough.
    for (const fs::path &folder : dropin_folders) {
        const auto both = folders.patched_by_program.find(folder);
        if (both == folders.patched_by_program.end())
            continue;
        out << "warning: " << folders.name(folder) << " uses both the drop-in winmm.dll and "
            << "the patch (" << both->second.front()
            << (both->second.size() > 1 ? " and others" : "")
            << "); use one or the other: --restore the patched files, or delete winmm.dll\n";
    }
    if (unlisted != 0) {
        err << "sndlatch-patch: could not list " << count(unlisted, "folder", "folders")
            << "; their modules are not above\n";
        return kExitRefused;
    }
    return kExitOk;
}

} // namespace sndlatch
