#include "scan.hpp"

#include "exit_code.hpp"
#include "files.hpp"
#include "patch.hpp"
#include "sys.hpp"

#include <algorithm>
#include <map>
#include <ostream>
#include <set>
#include <system_error>

namespace fs = std::filesystem;

namespace sndlatch {

namespace {

const char *const kUseDropin = "use the drop-in winmm.dll (--dropin)";
const char *const kReached = "the drop-in beside the program reaches it";

// How the module gets waveOutOpen; `reached` when a drop-in of its
// architecture is beside its program.
std::string describe(const ScanResult &r, bool reached) {
    const std::string remedy = std::string(": ") + (reached ? kReached : kUseDropin);
    switch (r.reach) {
    case Reach::Patchable:
        return std::string("patchable: imports waveOutOpen by name") +
               (reached ? std::string("; ") + kReached + " already" : "");
    case Reach::Unpatchable:
        return "imports waveOutOpen by name but cannot be patched: " + r.reason +
               (dropin_overcomes(r.refusal) ? kDropinHint : "") + "; " +
               (reached ? kReached : kUseDropin);
    case Reach::AlreadyPatched:
        return "already patched";
    case Reach::ByOrdinal:
        return "imports WINMM.DLL by ordinal" + remedy;
    case Reach::DelayLoaded:
        return "delay-loads WINMM.DLL" + remedy;
    case Reach::RunTime:
        return "looks up waveOutOpen at run time (GetProcAddress)" + remedy;
    case Reach::Provider:
        return "exports waveOutOpen itself (a WINMM.DLL); left alone";
    case Reach::DropIn:
        return std::string("the ") + (r.bit64 ? "64" : "32") +
               "-bit drop-in: this folder already uses it";
    case Reach::Sndlatch:
        return "sndlatch.dll itself or a copy; never patched";
    case Reach::Bit64:
        return reached ? std::string("64-bit: ") + kReached : kUse64BitDropin;
    case Reach::None:
        return "does not use waveOutOpen";
    case Reach::Skipped:
        break;
    }
    return "skipped (" + r.reason + ")";
}

bool is_module_name(const fs::path &p) {
    return name_is(p.extension(), ".exe") || name_is(p.extension(), ".dll");
}

std::string count(size_t n, const char *one, const char *many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// Collects the modules in `root` and below into `files`, one folder open
// at a time, so that a deep tree needs no more open files than a flat one.
// Links to folders (and junctions) are never entered, so no folder is
// listed twice and a link loop ends nowhere.
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

// The folder a module's program runs from (see ScannedModule::program).
fs::path program_folder(const fs::path &root, const std::set<fs::path> &with_exe,
                        const fs::path &module) {
    const fs::path folder = module.parent_path();
    if (name_is(module.extension(), ".exe"))
        return folder;
    const fs::path rel = module.lexically_relative(root);
    size_t levels = size_t(std::distance(rel.begin(), rel.end()));
    for (fs::path f = folder; levels-- > 0; f = f.parent_path()) {
        if (with_exe.count(f))
            return f;
    }
    return folder;
}

// The loader refuses a DLL of the other architecture, so a program beside
// the drop-in of the other kind does not start: the first such module that
// opens the device in the drop-in's program folder, or where none opens
// it, the first such .exe in its folder. Null when there is none.
const ScannedModule *other_architecture(const std::vector<ScannedModule> &modules,
                                        const ScannedModule &dropin) {
    const fs::path where = dropin.path.parent_path();
    for (const bool openers : {true, false}) {
        bool any = false;
        for (const ScannedModule &m : modules) {
            const bool beside = openers ? opens_device(m.result.reach) && m.program == where
                                        : m.path.parent_path() == where &&
                                              name_is(m.path.extension(), ".exe") &&
                                              m.result.reach != Reach::Skipped;
            any |= beside;
            if (beside && m.result.bit64 != dropin.result.bit64)
                return &m;
        }
        if (any)
            break;
    }
    return nullptr;
}

} // namespace

ScanResult scan_file(const fs::path &file) {
    ScanResult r;
    std::string error;
    const std::shared_ptr<FileSource> f = FileSource::open(utf8_name(file), error);
    try {
        if (!f)
            throw ReadError(error);
        r = scan_module(f);
    } catch (const ReadError &e) {
        r.reach = Reach::Skipped;
        r.reason = std::string("cannot be read: ") + e.what();
    }
    return r;
}

const char *arch_name(bool bit64) {
    return bit64 ? "64-bit" : "32-bit";
}

bool scan_tree(const fs::path &root, std::vector<ScannedModule> &modules, size_t &unlisted,
               int &code, std::ostream &err) {
    std::vector<fs::path> files;
    if (!collect_modules(root, files, unlisted, code, err))
        return false;
    std::sort(files.begin(), files.end());
    std::set<fs::path> with_exe;
    for (const fs::path &p : files)
        if (name_is(p.extension(), ".exe"))
            with_exe.insert(p.parent_path());
    for (const fs::path &p : files) {
        ScannedModule m;
        m.path = p;
        m.name = p.lexically_relative(root).generic_u8string();
        m.program = program_folder(root, with_exe, p);
        m.result = scan_file(p);
        // A drop-in under another name is never loaded.
        if (m.result.reach == Reach::DropIn && !name_is(p, "winmm.dll"))
            m.result.reach = Reach::Provider;
        modules.push_back(std::move(m));
    }
    return true;
}

int run_scan(const std::string &folder, std::ostream &out, std::ostream &err) {
    std::error_code ec;
    const fs::path root = fs_path(folder);
    if (!fs::is_directory(root, ec)) {
        const bool missing = !fs::exists(fs::symlink_status(root, ec));
        err << "sndlatch-patch: " << folder
            << (missing ? ": no such folder\n" : ": not a folder\n");
        return kExitUsage;
    }
    std::vector<ScannedModule> modules;
    size_t unlisted = 0;
    int code = 0;
    if (!scan_tree(root, modules, unlisted, code, err)) {
        err << "sndlatch-patch: " << folder << ": " << system_reason(code) << "\n";
        return kExitUsage;
    }
    auto name_of = [&](const fs::path &f) {
        const std::string rel = f.lexically_relative(root).generic_u8string();
        return rel.empty() || rel == "." ? root.u8string() : rel;
    };
    // The drop-in in each folder, and the modules that open the device
    // there, by the folder of their program.
    std::map<fs::path, const ScannedModule *> dropins;
    std::set<fs::path> with_dll;
    std::map<fs::path, std::vector<std::string>> patched_by_program;
    for (const ScannedModule &m : modules) {
        if (m.result.reach == Reach::DropIn)
            dropins[m.path.parent_path()] = &m;
        if (name_is(m.path, kDllName))
            with_dll.insert(m.path.parent_path());
    }

    size_t patchable = 0, dropin = 0, reached = 0, patched = 0, left = 0, skipped = 0;
    for (const ScannedModule &m : modules) {
        const ScanResult &r = m.result;
        const auto here = dropins.find(m.program);
        const bool is_reached = opens_device(r.reach) && r.reach != Reach::AlreadyPatched &&
                                here != dropins.end() && here->second->result.bit64 == r.bit64;
        const ScannedModule *mismatch =
            r.reach == Reach::DropIn ? other_architecture(modules, m) : nullptr;
        if (mismatch)
            out << m.name << ": the " << arch_name(r.bit64) << " drop-in, for the wrong kind of "
                << "program: " << mismatch->name << " is " << arch_name(mismatch->result.bit64)
                << " (see the warning below)";
        else
            out << m.name << ": " << describe(r, is_reached);
        if (r.reach == Reach::AlreadyPatched) {
            patched_by_program[m.program].push_back(m.name);
            if (!with_dll.count(m.program))
                out << "; but " << kDllName << " is not in " << name_of(m.program)
                    << ", beside the program's .exe: copy it there, or the program will not "
                       "start";
        }
        // The drop-in keeps closes working; only a patch hands back a closed device.
        if (r.closes && !is_reached &&
            (r.reach == Reach::Patchable || r.reach == Reach::AlreadyPatched))
            out << "; note: " << kCloseNote;
        out << "\n";
        if (is_reached)
            ++reached;
        else if (r.reach == Reach::Patchable)
            ++patchable;
        else if (r.reach == Reach::AlreadyPatched)
            ++patched;
        else if (r.reach == Reach::Skipped)
            ++skipped;
        else if (opens_device(r.reach))
            ++dropin;
        else
            ++left;
    }
    out << count(modules.size(), "file", "files") << ": " << patchable << " patchable, " << patched
        << " already patched, " << dropin << (dropin == 1 ? " needs" : " need")
        << " the drop-in winmm.dll, ";
    if (reached != 0)
        out << reached << " reached by the drop-in, ";
    out << left << " left alone, " << skipped << " skipped\n";

    for (const auto &[where, d] : dropins) {
        // Both ways at once: the patched module calls sndlatch.dll, and the
        // drop-in answers the platform's opens too; one or the other is enough.
        const auto both = patched_by_program.find(where);
        if (both != patched_by_program.end())
            out << "warning: " << name_of(where) << " uses both the drop-in winmm.dll and "
                << "the patch (" << both->second.front()
                << (both->second.size() > 1 ? " and others" : "")
                << "); use one or the other: --restore the patched files, or remove the drop-in "
                   "(--dropin --remove)\n";
        const ScannedModule *other = other_architecture(modules, *d);
        if (other)
            out << "warning: " << d->name << " is the " << arch_name(d->result.bit64)
                << " drop-in, but " << other->name << " beside it is "
                << arch_name(other->result.bit64)
                << ": the program does not start with it; sndlatch-patch --dropin \""
                << utf8_name(other->path) << "\" puts the right one in its place\n";
    }
    if (unlisted != 0) {
        err << "sndlatch-patch: could not list " << count(unlisted, "folder", "folders")
            << "; their modules are not above\n";
        return kExitRefused;
    }
    return kExitOk;
}

} // namespace sndlatch
