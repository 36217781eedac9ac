#include "scan.hpp"

#include "cli.hpp"
#include "files.hpp"
#include "patch.hpp"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <functional>
#include <ostream>
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
            r.reach = Reach::Provider;
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

int run_scan(const std::string &folder, std::ostream &out, std::ostream &err) {
    std::error_code ec;
    const fs::path root = fs_path(folder);
    if (!fs::is_directory(root, ec)) {
        err << "sndlatch-patch: " << folder << ": not a folder\n";
        return kExitUsage;
    }
    std::vector<fs::path> files;
    fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, ec);
    if (ec) {
        err << "sndlatch-patch: " << folder << ": " << ec.message() << "\n";
        return kExitUsage;
    }
    for (const fs::recursive_directory_iterator end; it != end; it.increment(ec)) {
        if (ec) {
            err << "sndlatch-patch: warning: could not list all of " << folder << ": "
                << ec.message() << "\n";
            break;
        }
        std::error_code type_ec;
        if (is_module_name(it->path()) && it->is_regular_file(type_ec))
            files.push_back(it->path());
    }
    std::sort(files.begin(), files.end());

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
        out << name << ": " << describe(r.reach);
        if (!r.reason.empty())
            out << (r.reach == Reach::Skipped ? " (" : ": ") << r.reason
                << (r.reach == Reach::Skipped ? ")" : "; use the drop-in winmm.dll");
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
    out << files.size() << " files: " << patchable << " patchable, " << patched
        << " already patched, " << dropin << " need the drop-in winmm.dll, " << left
        << " left alone, " << skipped << " skipped\n";
    return kExitOk;
}

} // namespace sndlatch
