#include "dropin.hpp"

#include "exit_code.hpp"
#include "files.hpp"
#include "scan.hpp"
#include "sys.hpp"

#include <ostream>
#include <set>
#include <sstream>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace sndlatch {

const char *const kOverrideLine =
    "under Wine, Proton or Lutris/Bottles, load it with the override "
    "WINEDLLOVERRIDES=\"winmm=n,b\" "
    "(in Steam's launch options: WINEDLLOVERRIDES=\"winmm=n,b\" %command%)";

namespace {

// The program that `target` names: itself, or the one .exe in a folder.
// Otherwise says why not and returns false.
bool find_program(const std::string &target, std::string &program, std::ostream &err) {
    if (!is_folder(target)) {
        program = target;
        return true;
    }
    std::vector<FolderEntry> entries;
    int code = 0;
    if (!list_folder(target, entries, code)) {
        err << "sndlatch-patch: " << target << ": " << system_reason(code) << "\n";
        return false;
    }
    std::vector<std::string> exes;
    for (const FolderEntry &e : entries)
        if (e.kind == EntryKind::File && name_is(fs_path(e.name).extension(), ".exe"))
            exes.push_back(e.name);
    if (exes.size() == 1) {
        program = utf8_name(fs_path(target) / fs_path(exes.front()));
        return true;
    }
    err << "sndlatch-patch: " << target
        << (exes.empty() ? " holds no program (.exe)" : " holds more than one program (.exe)")
        << "; name the program: sndlatch-patch --dropin \""
        << utf8_name(fs_path(target) / fs_path(exes.empty() ? "GAME.EXE" : exes.front())) << "\"\n";
    return false;
}

// The folder's winmm.dll in any letter case, as the loader finds it;
// empty when there is none.
fs::path existing_winmm(const fs::path &folder) {
    std::vector<FolderEntry> entries;
    int code = 0;
    list_folder(utf8_name(folder), entries, code);
    for (const FolderEntry &e : entries)
        if (name_is(fs_path(e.name), "winmm.dll"))
            return folder / fs_path(e.name);
    return fs::path();
}

// What a winmm.dll that is not sndlatch's is.
std::string foreign(const ScanResult &r) {
    if (r.reach == Reach::Skipped)
        return "not a Windows DLL that can be read (" + r.reason + ")";
    return std::string("a ") + arch_name(r.bit64) +
           (r.reach == Reach::Provider ? " WINMM.DLL of another maker (it exports waveOutOpen)"
                                       : " DLL that is no WINMM.DLL");
}

// Whether `file` holds exactly what `write` writes.
bool same_file_bytes(const std::string &file, const Writer &write) {
    std::string error;
    const std::shared_ptr<FileSource> f = FileSource::open(file, error);
    try {
        return f && same_bytes(*f, write);
    } catch (const std::runtime_error &) {
        return false;
    }
}

int remove_dropin(const std::string &target, std::ostream &out, std::ostream &err) {
    const fs::path folder = is_folder(target) ? fs_path(target) : full_folder_of(target);
    const fs::path dll = existing_winmm(folder);
    if (dll.empty()) {
        out << "no winmm.dll in " << utf8_name(folder) << "; nothing to remove\n";
        return kExitOk;
    }
    const ScanResult r = scan_file(dll);
    if (r.reach != Reach::DropIn) {
        err << "sndlatch-patch: " << utf8_name(dll) << " is not sndlatch's drop-in: it is "
            << foreign(r) << "; left alone\n";
        return kExitRefused;
    }
    RunLock lock;
    std::string error;
    if (!lock.take(utf8_name(dll), err, error)) {
        err << "sndlatch-patch: " << error << "; nothing changed\n";
        return kExitUsage;
    }
    lock.before_replace();
    std::error_code ec;
    if (!fs::remove(dll, ec)) {
        err << "sndlatch-patch: cannot remove " << utf8_name(dll) << ": "
            << (ec ? system_reason(ec.value()) : "it is gone") << "\n";
        return kExitUsage;
    }
    out << "removed the " << arch_name(r.bit64) << " drop-in " << utf8_name(dll) << "\n"
        << "under Wine or Proton, also remove the winmm override (WINEDLLOVERRIDES, or "
           "winecfg's Libraries tab)\n";
    return kExitOk;
}

} // namespace

int run_dropin(const std::string &target, bool remove, const std::string &release,
               std::ostream &out, std::ostream &err) {
    if (remove)
        return remove_dropin(target, out, err);
    std::string program;
    if (!find_program(target, program, err))
        return kExitUsage;
    std::string error;
    const std::shared_ptr<FileSource> file = FileSource::open(program, error);
    if (!file) {
        err << "sndlatch-patch: " << program << ": " << error << "\n";
        return kExitUsage;
    }
    file->close();
    const ScanResult own = scan_file(fs_path(program));
    if (own.reach == Reach::Skipped) {
        err << "sndlatch-patch: " << program << ": " << own.reason << "\n";
        return kExitRefused;
    }
    if (own.is_dll) {
        err << "sndlatch-patch: " << program
            << " is a DLL; name the program's .exe, or its folder: the drop-in goes beside it\n";
        return kExitUsage;
    }
    // The drop-in serves the modules that open the device: the program's
    // own, or where it is a launcher, those of the folder's other modules.
    const fs::path folder = full_folder_of(program);
    bool bit64 = own.bit64;
    if (!opens_device(own.reach)) {
        std::vector<ScannedModule> modules;
        size_t unlisted = 0;
        int code = 0;
        std::ostringstream ignored;
        scan_tree(folder, modules, unlisted, code, ignored);
        std::set<bool> kinds;
        const ScannedModule *opener = nullptr;
        for (const ScannedModule &m : modules) {
            if (!opens_device(m.result.reach) || m.program != folder)
                continue;
            kinds.insert(m.result.bit64);
            opener = opener ? opener : &m;
        }
        if (kinds.size() > 1) {
            err << "sndlatch-patch: both 32-bit and 64-bit modules in " << utf8_name(folder)
                << " open the sound device (--scan it); one winmm.dll serves one kind: copy "
                   "winmm.dll or x64/winmm.dll from the release yourself\n";
            return kExitRefused;
        }
        if (!opener)
            out << "note: no file in " << utf8_name(folder)
                << " was seen to open the sound device (--scan it); the drop-in for " << program
                << " goes there all the same\n";
        else if (opener->result.bit64 != bit64)
            out << "note: " << program << " is " << arch_name(bit64) << ", but " << opener->name
                << ", which opens the sound device, is " << arch_name(opener->result.bit64)
                << ": the drop-in is for it\n";
        if (opener)
            bit64 = opener->result.bit64;
    }

    const fs::path source = fs_path(release) / fs_path(bit64 ? "x64/winmm.dll" : "winmm.dll");
    const ScanResult from = scan_file(source);
    if (release.empty() || from.reach != Reach::DropIn || from.bit64 != bit64) {
        err << "sndlatch-patch: the " << arch_name(bit64) << " drop-in is not beside this tool (no "
            << utf8_name(source) << "): unpack the whole release and run sndlatch-patch from "
            << "it; nothing changed\n";
        return kExitUsage;
    }
    fs::path dest = existing_winmm(folder);
    std::string replaced;
    if (!dest.empty()) {
        const ScanResult there = scan_file(dest);
        if (there.reach != Reach::DropIn) {
            err << "sndlatch-patch: " << utf8_name(dest) << " is already there, and it is "
                << foreign(there)
                << ", not sndlatch's drop-in; left alone (move it away first to use sndlatch's)\n";
            return kExitRefused;
        }
        replaced = arch_name(there.bit64);
    } else {
        dest = folder / "winmm.dll";
    }

    RunLock lock;
    std::shared_ptr<FileSource> input;
    if (!lock.take(utf8_name(dest), err, error) ||
        !(input = FileSource::open(utf8_name(source), error))) {
        err << "sndlatch-patch: " << error << "; nothing changed\n";
        return kExitUsage;
    }
    const Writer copy = [&](std::ostream &o) { write_copy(*input, o); };
    if (!replaced.empty() && same_file_bytes(utf8_name(dest), copy)) {
        out << utf8_name(dest) << " is already this release's " << arch_name(bit64)
            << " drop-in; nothing changed\n"
            << kOverrideLine << "\n";
        return kExitOk;
    }
    if (!write_atomic(utf8_name(dest), utf8_name(source), lock, copy, error)) {
        err << "sndlatch-patch: cannot write " << utf8_name(dest) << ": " << error
            << "; nothing changed\n";
        return kExitUsage;
    }
    out << "put the " << arch_name(bit64) << " drop-in beside " << program << ": "
        << utf8_name(dest);
    if (!replaced.empty())
        out << " (it replaces the " << replaced << " drop-in that was there)";
    out << "\n" << kOverrideLine << "\n";
    return kExitOk;
}

} // namespace sndlatch
