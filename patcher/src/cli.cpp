#include "cli.hpp"

#include "dropin.hpp"
#include "patch.hpp"
#include "scan.hpp"
#include "sys.hpp"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <system_error>

namespace fs = std::filesystem;

namespace sndlatch {

namespace {

const char *const kUsage = "usage: sndlatch-patch [--check] [-o OUT] [--strip-signature] HOST.exe\n"
                           "       sndlatch-patch --restore HOST.exe\n"
                           "       sndlatch-patch --scan FOLDER\n"
                           "       sndlatch-patch --dropin [--remove] GAME.exe|FOLDER\n";

const char *const kScanHint = "to see which of its files to patch: sndlatch-patch --scan ";

const char *const kHelp =
    "Makes a 32-bit Windows program call sndlatch.dll!sndlatch wherever it would\n"
    "call WINMM's waveOutOpen, so that it keeps one wave output device however\n"
    "often it opens one. Only the import table is rebuilt, in a new section; the\n"
    "program's code and data are not touched.\n"
    "\n"
    "Options:\n"
    "  (none)             patch HOST.exe in place; the program as it was is first\n"
    "                     kept as HOST.exe.orig (see \"Originals\" below)\n"
    "  -o OUT             write the patched program to OUT, leave HOST.exe alone;\n"
    "                     an already patched HOST.exe is copied to OUT as it is.\n"
    "                     OUT may not be HOST.exe itself or a link to it, and\n"
    "                     must be a regular file (a link to one) or a new name\n"
    "  --check            report whether HOST.exe can be patched, is already\n"
    "                     patched, or why not; change nothing\n"
    "  --strip-signature  patch a signed program too, dropping its Authenticode\n"
    "                     signature (Windows will treat it as unsigned)\n"
    "  --restore          put HOST.exe back from HOST.exe.orig, byte for byte, if\n"
    "                     HOST.exe is still exactly what patching HOST.exe.orig\n"
    "                     gives; HOST.exe.orig is renamed back to HOST.exe\n"
    "  --scan FOLDER      say for every .exe and .dll in FOLDER and its subfolders\n"
    "                     whether and how it gets waveOutOpen, and so which file\n"
    "                     to patch; change nothing. Links to folders are not\n"
    "                     followed\n"
    "  --dropin           copy the drop-in winmm.dll that fits GAME.exe beside it:\n"
    "                     winmm.dll for a 32-bit program, x64\\winmm.dll for a\n"
    "                     64-bit one, as the file that opens the sound device\n"
    "                     needs (both are beside this tool in the release). A\n"
    "                     folder holding one program will do. A winmm.dll that\n"
    "                     is not sndlatch's is never replaced\n"
    "  --dropin --remove  delete the folder's winmm.dll if it is sndlatch's\n"
    "  -h, --help, /?     show this help\n"
    "  -v, --version      show the version\n"
    "\n"
    "HOST.exe may also be a DLL that a program ships (its sound library); it is\n"
    "patched the same way. The patched program, or the program that loads the\n"
    "patched DLL, needs sndlatch.dll in its own folder to start.\n"
    "A program that gets waveOutOpen by ordinal, delay-loaded or through\n"
    "GetProcAddress needs the drop-in winmm.dll instead (--scan says which).\n"
    "A 64-bit program is never patched: one that opens the device needs the\n"
    "64-bit drop-in, x64\\winmm.dll (--check and --scan say so; --dropin puts\n"
    "it in place). The drop-in keeps more programs working than the patch.\n"
    "\n"
    "Originals:\n"
    "  HOST.exe.orig always holds the program that the last in-place patch\n"
    "  changed. If a patch finds a different HOST.exe.orig (say the program was\n"
    "  updated and patched again), the older copy is kept as HOST.exe.orig.1\n"
    "  (.2, ... the first free name); those are never deleted or overwritten.\n"
    "  --restore refuses, changing nothing, when HOST.exe has changed since it\n"
    "  was patched, so a newer program is never replaced by an older one; the\n"
    "  patched program it replaces can always be made again by patching.\n"
    "  If HOST.exe is a symbolic link, the file it points to is patched or\n"
    "  restored, and its .orig is kept beside that file.\n"
    "  Two runs on the same program take turns; the second one waits.\n"
    "\n"
    "Exit codes:\n"
    "  0  patched, already patched, (with --check) can be patched, (with\n"
    "     --restore) restored, already the original or never patched, (with\n"
    "     --scan) the folder was scanned, or (with --dropin) done\n"
    "  1  the program cannot be patched (with --check: also where its folder\n"
    "     cannot be written), --restore found HOST.exe changed, or --dropin\n"
    "     found a winmm.dll that is not sndlatch's; the reason is printed.\n"
    "     With --scan: some folders could not be listed\n"
    "  2  usage error or a file could not be read or written\n"
    "On exit codes 1 and 2 no file has been changed.\n"
    "\n"
    "Example:\n"
    "  sndlatch-patch game.exe            # patches game.exe, keeps game.exe.orig\n"
    "  (copy sndlatch.dll into the folder that holds game.exe)\n"
    "  sndlatch-patch --check game.exe    # says: already patched\n"
    "  sndlatch-patch --restore game.exe  # the original again\n"
    "  sndlatch-patch --dropin game.exe   # or no patch: the drop-in beside it\n";

// Whether `folder` holds a file named `name` (any case, as the Windows
// loader finds it), or with an empty name, any .exe.
bool folder_holds(const fs::path &folder, const std::string &name) {
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path ext = it->path().extension();
        if (name.empty() ? name_is(ext, ".exe") : name_is(it->path(), name))
            return true;
    }
    return false;
}

// The folder of the program that loads a sound library: the library's own
// folder or the nearest one above it (three at most) that holds a .exe.
// Empty when none does.
fs::path program_folder_of_library(const fs::path &library_folder) {
    fs::path folder = library_folder;
    for (int up = 0; up < 4 && !folder.empty(); ++up) {
        if (folder_holds(folder, ""))
            return folder;
        if (folder == folder.parent_path())
            break;
        folder = folder.parent_path();
    }
    return fs::path();
}

// The loader looks for sndlatch.dll beside the program's .exe, whatever
// file was patched: for a patched DLL, that is the folder of the program
// that loads it, which need not be the DLL's own.
void warn_if_no_dll(const std::string &patched, bool is_dll, std::ostream &err) {
    const fs::path own = full_folder_of(patched);
    if (!is_dll) {
        if (!folder_holds(own, kDllName))
            err << "sndlatch-patch: warning: " << kDllName << " is not in " << utf8_name(own)
                << "; " << patched << " will not start until it is copied there\n";
        return;
    }
    const fs::path program = program_folder_of_library(own);
    if (!program.empty() && folder_holds(program, kDllName))
        return;
    err << "sndlatch-patch: warning: copy " << kDllName << " ";
    if (program.empty())
        err << "beside the program's .exe";
    else
        err << "into " << utf8_name(program) << ", beside the program's .exe";
    if (program != own)
        err << " (the loader looks for it there, not beside " << patched << ")";
    err << ", or the program will not start\n";
}

// A folder given where a program was expected: dragged onto the tool, say.
int folder_given(const std::string &name, std::ostream &err) {
    err << "sndlatch-patch: " << name << " is a folder, not a program; " << kScanHint << "\""
        << name << "\"\n";
    return kExitUsage;
}

bool is_folder(const std::string &name) {
    std::error_code ec;
    return fs::is_directory(fs_path(name), ec);
}

void note_if_closes(const std::string &program, const Analysis &an, std::ostream &out) {
    if (an.imports_wave_out_close)
        out << "note: " << program << ": " << kCloseNote << "\n";
}

struct Args {
    bool check = false;
    bool restore = false;
    bool strip_signature = false;
    bool help = false;
    bool version = false;
    bool scan = false;
    bool dropin = false;
    bool remove = false;
    std::string output;
    std::string host;
};

// Returns an empty string on success, else the usage error.
std::string parse_args(const std::vector<std::string> &args, Args &a) {
    bool have_output = false;
    bool options_done = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &s = args[i];
        if (!options_done && s.size() > 1 && s[0] == '-') {
            if (s == "--")
                options_done = true;
            else if (s == "--check")
                a.check = true;
            else if (s == "--restore")
                a.restore = true;
            else if (s == "--strip-signature")
                a.strip_signature = true;
            else if (s == "-h" || s == "--help")
                a.help = true;
            else if (s == "-v" || s == "--version")
                a.version = true;
            else if (s == "--scan")
                a.scan = true;
            else if (s == "--dropin")
                a.dropin = true;
            else if (s == "--remove")
                a.remove = true;
            else if (s == "-o" || s == "--output") {
                if (i + 1 >= args.size())
                    return s + " needs a file name";
                a.output = args[++i];
                have_output = true;
            } else if (s.rfind("--output=", 0) == 0) {
                a.output = s.substr(9);
                have_output = true;
            } else {
                return "unknown option " + s;
            }
            continue;
        }
        // The Windows way of asking for help.
        if (!options_done && s == "/?") {
            a.help = true;
            continue;
        }
        if (!a.host.empty())
            return "only one program can be given";
        a.host = s;
    }
    if (a.help || a.version)
        return "";
    if (a.host.empty())
        return a.scan ? "no folder given" : "no program given";
    if (a.scan && (a.check || a.restore || have_output || a.strip_signature || a.dropin))
        return "--scan takes no other options";
    if (a.remove && !a.dropin)
        return "--remove goes with --dropin";
    if (a.dropin && (a.check || a.restore || have_output || a.strip_signature))
        return "--dropin takes no other options but --remove";
    if (have_output && a.output.empty())
        return "-o needs a file name";
    if (a.restore && (a.check || have_output || a.strip_signature))
        return "--restore takes no other options";
    if (a.check && have_output)
        return "--check writes nothing, so -o makes no sense with it";
    return "";
}

std::string slot_count(const Analysis &an) {
    const size_t n = an.redirected_slots.size();
    return std::to_string(n) + " waveOutOpen import" + (n == 1 ? "" : "s");
}

int usage_error(const std::string &message, std::ostream &err) {
    err << "sndlatch-patch: " << message << "\n"
        << kUsage << "Try 'sndlatch-patch --help' for more information.\n";
    return kExitUsage;
}

// --restore. HOST.orig goes back only over the very file that patching it
// gives, so that a program changed since it was patched is never lost.
// Patching is deterministic: the patched form is derived again and compared.
// Whether `file` imports sndlatch.dll!sndlatch, that is, was patched.
bool is_patched_file(const std::shared_ptr<FileSource> &file) {
    try {
        return decide(file, PatchOptions{}).analysis.verdict == Verdict::AlreadyPatched;
    } catch (const Refusal &) {
        return false;
    }
}

int do_restore(const std::string &host, std::ostream &out, std::ostream &err) {
    if (is_folder(host))
        return folder_given(host, err);
    const std::string file = resolve_links(host), orig = file + ".orig";
    std::error_code ec;
    RunLock lock;
    std::string error;
    if (!lock.take(file, err, error)) {
        err << "sndlatch-patch: " << error << "; nothing changed\n";
        return kExitUsage;
    }
    const std::shared_ptr<FileSource> current = FileSource::open(file, error);
    if (!current) {
        err << "sndlatch-patch: " << host << ": " << error << "\n";
        return kExitUsage;
    }
    if (!fs::exists(fs::symlink_status(fs_path(orig), ec))) {
        if (is_patched_file(current))
            err << "sndlatch-patch: " << host << " is patched, but its original " << orig
                << " is missing, so it cannot be restored; nothing changed\n";
        else {
            out << host << " is not patched (it does not use " << kDllName << "), and there is no "
                << orig << "; nothing to restore\n";
            return kExitOk;
        }
        return kExitRefused;
    }
    const std::shared_ptr<FileSource> original = FileSource::open(orig, error);
    if (!original) {
        err << "sndlatch-patch: " << orig << ": " << error << "\n";
        return kExitUsage;
    }
    // A program that is its original already (a store's "verify files" put
    // it back, say) needs nothing; its .orig stays.
    const Writer copy_original = [&](std::ostream &o) { write_copy(*original, o); };
    if (original->size() == current->size() && same_bytes(*current, copy_original)) {
        out << host << " is already the original (the same as " << orig
            << "); nothing to restore\n";
        return kExitOk;
    }
    // A signed original can only have been patched with --strip-signature.
    PatchOptions opts;
    opts.strip_signature = true;
    bool matches;
    try {
        const Decision d = decide(original, opts);
        Writer patched = [&](std::ostream &o) { write_copy(*original, o); };
        if (d.analysis.verdict == Verdict::Patchable) {
            const PatchPlan plan = d.plan;
            patched = [plan, &original](std::ostream &o) { write_patched(plan, *original, o); };
        }
        matches = same_bytes(*current, patched);
    } catch (const Refusal &r) {
        err << "sndlatch-patch: " << host << " cannot have been patched from " << orig << " ("
            << refusal_text(r) << "); nothing changed\n";
        return kExitRefused;
    }
    if (!matches) {
        err << "sndlatch-patch: " << host << " is not what patching " << orig
            << " gives (it has changed since); nothing changed\n";
        return kExitRefused;
    }
    original->close();
    current->close();
    // A rename keeps the original's bytes exactly and is atomic.
    lock.before_replace();
    int code = 0;
    if (!rename_replacing(orig, file, code)) {
        err << "sndlatch-patch: cannot restore " << host << " from " << orig << ": "
            << system_reason(code) << "\n";
        return kExitUsage;
    }
    sync_folder(utf8_name(full_folder_of(file)));
    out << "restored " << host << " from " << orig << "\n";
    return kExitOk;
}

int patch(const Args &a, std::ostream &out, std::ostream &err) {
    if (!a.output.empty() && same_file(a.output, a.host))
        return usage_error(a.output + " is " + a.host + " itself; leave out -o to patch in place",
                           err);
    // In place, a symbolic link stays a link: the file it points to is
    // patched, and its .orig is kept beside that file. So does OUT.
    const std::string file = a.output.empty() ? resolve_links(a.host) : a.host;
    if (is_folder(file))
        return folder_given(a.host, err);
    const std::string out_file = a.output.empty() ? "" : resolve_links(a.output);
    if (!a.output.empty() &&
        (path_kind(a.output) == PathKind::Other || path_kind(out_file) == PathKind::Other)) {
        err << "sndlatch-patch: " << a.output
            << " is not a regular file; -o writes only to a file or a new name\n";
        return kExitUsage;
    }
    // One run at a time on the file that is written.
    std::string error;
    RunLock lock;
    if (!a.check && !lock.take(a.output.empty() ? file : out_file, err, error)) {
        err << "sndlatch-patch: " << error << "; nothing changed\n";
        return kExitUsage;
    }

    // Only the parts of the program that the analysis needs are read; the
    // rest is streamed from the file when the output is written.
    const std::shared_ptr<FileSource> input = FileSource::open(file, error);
    if (!input) {
        err << "sndlatch-patch: " << a.host << ": " << error << "\n";
        return kExitUsage;
    }

    PatchOptions opts;
    opts.strip_signature = a.strip_signature;
    Analysis an;
    PatchPlan plan;
    try {
        Decision d = decide(input, opts);
        an = std::move(d.analysis);
        plan = std::move(d.plan);
    } catch (const Refusal &r) {
        // A 64-bit module that opens the device is not patched, but the
        // 64-bit drop-in reaches it.
        const bool bit64 = scan_module(input).reach == Reach::Bit64;
        err << "sndlatch-patch: " << a.host
            << ": cannot be patched: " << (bit64 ? kUse64BitDropin : refusal_text(r)) << "\n";
        return kExitRefused;
    }

    const Writer write_output = [&](std::ostream &o) {
        if (an.verdict == Verdict::AlreadyPatched)
            write_copy(*input, o);
        else
            write_patched(plan, *input, o);
    };
    if (!a.check && !a.output.empty() && !write_atomic(out_file, file, lock, write_output, error)) {
        err << "sndlatch-patch: cannot write " << a.output << ": " << error
            << "; nothing changed\n";
        return kExitUsage;
    }
    if (an.verdict == Verdict::AlreadyPatched) {
        out << a.host << ": already patched (imports " << kDllName << "!" << kExportName << ")";
        if (!a.output.empty())
            out << "; wrote " << a.output << " as a copy of it";
        out << "\n";
        note_if_closes(a.host, an, out);
        if (!a.check)
            warn_if_no_dll(a.output.empty() ? a.host : a.output, an.is_dll, err);
        return kExitOk;
    }
    if (a.check && !can_replace(file, error)) {
        err << "sndlatch-patch: " << a.host << ": cannot be patched in place: " << error
            << " (-o writes the patched program elsewhere)\n";
        return kExitRefused;
    }
    if (a.check) {
        out << a.host << ": can be patched (" << slot_count(an) << " from WINMM.DLL)\n";
        note_if_closes(a.host, an, out);
        return kExitOk;
    }
    if (!a.output.empty()) {
        out << "wrote " << a.output << " (" << slot_count(an) << " now from " << kDllName << ")\n";
        note_if_closes(a.output, an, out);
        warn_if_no_dll(a.output, an.is_dll, err);
        return kExitOk;
    }

    KeptOrig kept;
    if (!replace_keeping_orig(file, *input, lock, write_output, kept, error)) {
        err << "sndlatch-patch: cannot patch " << a.host << ": " << error << "; nothing changed\n";
        return kExitUsage;
    }
    const std::string orig = file + ".orig";
    out << "patched " << a.host << " (" << slot_count(an) << " now from " << kDllName << "); ";
    if (!kept.written)
        out << "its original was already kept as " << orig << "\n";
    else if (kept.older_kept_as.empty())
        out << "original kept as " << orig << "\n";
    else
        out << "original kept as " << orig << ", the older one as " << kept.older_kept_as << "\n";
    note_if_closes(a.host, an, out);
    warn_if_no_dll(a.host, an.is_dll, err);
    return kExitOk;
}

} // namespace

int run(const std::vector<std::string> &args, std::ostream &out, std::ostream &err) {
    Args a;
    const std::string parse_error = parse_args(args, a);
    if (!parse_error.empty())
        return usage_error(parse_error, err);
    if (a.help) {
        out << kUsage << "\n" << kHelp;
        return kExitOk;
    }
    if (a.version) {
        out << "sndlatch-patch " << SNDLATCH_VERSION << "\n";
        return kExitOk;
    }
    try {
        if (a.dropin)
            return run_dropin(a.host, a.remove, tool_folder(), out, err);
        return a.restore ? do_restore(a.host, out, err)
               : a.scan  ? run_scan(a.host, out, err)
                         : patch(a, out, err);
    } catch (const ReadError &e) {
        err << "sndlatch-patch: " << e.what() << "; nothing changed\n";
        return kExitUsage;
    }
}

} // namespace sndlatch
