#include "cli.hpp"

#include "patch.hpp"
#include "scan.hpp"

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
                           "       sndlatch-patch --scan FOLDER\n";

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
    "                     OUT may not be HOST.exe itself or a link to it\n"
    "  --check            report whether HOST.exe can be patched, is already\n"
    "                     patched, or why not; change nothing\n"
    "  --strip-signature  patch a signed program too, dropping its Authenticode\n"
    "                     signature (Windows will treat it as unsigned)\n"
    "  --restore          put HOST.exe back from HOST.exe.orig, byte for byte, if\n"
    "                     HOST.exe is still exactly what patching HOST.exe.orig\n"
    "                     gives; HOST.exe.orig is renamed back to HOST.exe\n"
    "  --scan FOLDER      say for every .exe and .dll in FOLDER and its subfolders\n"
    "                     whether and how it gets waveOutOpen, and so which file\n"
    "                     to patch; change nothing\n"
    "  -h, --help         show this help\n"
    "  --version          show the version\n"
    "\n"
    "HOST.exe may also be a DLL that a program ships (its sound library); it is\n"
    "patched the same way. The patched program, or the program that loads the\n"
    "patched DLL, needs sndlatch.dll in its own folder to start.\n"
    "A program that gets waveOutOpen by ordinal, delay-loaded or through\n"
    "GetProcAddress needs the drop-in winmm.dll instead (--scan says which).\n"
    "A 64-bit program is never patched: one that opens the device needs the\n"
    "64-bit drop-in, x64\\winmm.dll (--check and --scan say so).\n"
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
    "\n"
    "Exit codes:\n"
    "  0  patched, already patched, (with --check) can be patched, or (with\n"
    "     --scan) the folder was scanned\n"
    "  1  the program cannot be patched, or --restore found HOST.exe changed;\n"
    "     the reason is printed\n"
    "  2  usage error or a file could not be read or written\n"
    "On exit codes 1 and 2 no file has been changed.\n"
    "\n"
    "Example:\n"
    "  sndlatch-patch game.exe            # patches game.exe, keeps game.exe.orig\n"
    "  (copy sndlatch.dll into the folder that holds game.exe)\n"
    "  sndlatch-patch --check game.exe    # says: already patched\n"
    "  sndlatch-patch --restore game.exe  # the original again\n";

std::string dir_of_path(const std::string &path) {
    const fs::path parent = fs_path(path).parent_path();
    return parent.empty() ? std::string(".") : utf8_name(parent);
}

// Whether a file's name is `name` in any letter case, compared on the
// platform's own characters (UTF-16 on Windows), so that no name in the
// folder has to be converted.
bool name_is(const fs::path &file, const std::string &name) {
    const fs::path::string_type s = file.filename().native();
    auto lower = [](int c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; };
    return s.size() == name.size() &&
           std::equal(s.begin(), s.end(), name.begin(),
                      [&](auto x, char y) { return lower(int(x)) == lower(y); });
}

// The Windows loader finds sndlatch.dll in the program's folder whatever
// its case, so look for it the same way.
bool dll_beside(const std::string &program) {
    std::error_code ec;
    for (fs::directory_iterator it(fs_path(dir_of_path(program)), ec), end; !ec && it != end;
         it.increment(ec)) {
        if (name_is(it->path(), kDllName))
            return true;
    }
    return false;
}

// A patched DLL finds sndlatch.dll in the folder of the program that loads
// it, which is usually its own.
void warn_if_no_dll(const std::string &program, bool is_dll, std::ostream &err) {
    if (dll_beside(program))
        return;
    err << "sndlatch-patch: warning: " << kDllName << " is not in " << dir_of_path(program);
    if (is_dll)
        err << "; copy it into the folder of the program that loads " << program
            << " (usually that folder), or the DLL will not load\n";
    else
        err << "; " << program << " will not start until it is copied there\n";
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
            else if (s == "--version")
                a.version = true;
            else if (s == "--scan")
                a.scan = true;
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
        if (!a.host.empty())
            return "only one program can be given";
        a.host = s;
    }
    if (a.help || a.version)
        return "";
    if (a.host.empty())
        return a.scan ? "no folder given" : "no program given";
    if (a.scan && (a.check || a.restore || have_output || a.strip_signature))
        return "--scan takes no other options";
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
int do_restore(const std::string &host, std::ostream &out, std::ostream &err) {
    const std::string file = resolve_links(host), orig = file + ".orig";
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(fs_path(orig), ec))) {
        err << "sndlatch-patch: " << orig << " not found; nothing to restore\n";
        return kExitUsage;
    }
    std::string error;
    const std::shared_ptr<FileSource> original = FileSource::open(orig, error);
    const std::shared_ptr<FileSource> current = original ? FileSource::open(file, error) : nullptr;
    if (!current) {
        err << "sndlatch-patch: " << (original ? file : orig) << ": " << error << "\n";
        return kExitUsage;
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
            << r.what() << "); nothing changed\n";
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
    fs::rename(fs_path(orig), fs_path(file), ec);
    if (ec) {
        err << "sndlatch-patch: cannot restore " << host << " from " << orig << ": " << ec.message()
            << "\n";
        return kExitUsage;
    }
    out << "restored " << host << " from " << orig << "\n";
    return kExitOk;
}

int patch(const Args &a, std::ostream &out, std::ostream &err) {
    if (!a.output.empty() && same_file(a.output, a.host))
        return usage_error(a.output + " is " + a.host + " itself; leave out -o to patch in place",
                           err);
    // In place, a symbolic link stays a link: the file it points to is
    // patched, and its .orig is kept beside that file.
    const std::string file = a.output.empty() ? resolve_links(a.host) : a.host;

    // Only the parts of the program that the analysis needs are read; the
    // rest is streamed from the file when the output is written.
    std::string error;
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
            << ": cannot be patched: " << (bit64 ? kUse64BitDropin : r.what()) << "\n";
        return kExitRefused;
    }

    const Writer write_output = [&](std::ostream &o) {
        if (an.verdict == Verdict::AlreadyPatched)
            write_copy(*input, o);
        else
            write_patched(plan, *input, o);
    };
    if (!a.check && !a.output.empty() && !write_atomic(a.output, file, write_output, error)) {
        err << "sndlatch-patch: cannot write " << a.output << ": " << error << "\n";
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
    if (!replace_keeping_orig(file, *input, write_output, kept, error)) {
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
        return a.restore ? do_restore(a.host, out, err)
               : a.scan  ? run_scan(a.host, out, err)
                         : patch(a, out, err);
    } catch (const ReadError &e) {
        err << "sndlatch-patch: " << e.what() << "; nothing changed\n";
        return kExitUsage;
    }
}

} // namespace sndlatch
