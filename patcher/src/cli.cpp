// The command line: options, help, and which command runs.
#include "cli.hpp"

#include "commands.hpp"
#include "dropin.hpp"
#include "scan.hpp"
#include "sys.hpp"

#include <ostream>

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

// The options; PatchRequest's host is also the file or folder the other
// commands take.
struct Args : PatchRequest {
    bool restore = false;
    bool help = false;
    bool version = false;
    bool scan = false;
    bool dropin = false;
    bool remove = false;
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

} // namespace

// A folder given where a program was expected: dragged onto the tool, say.
int folder_given(const std::string &name, std::ostream &err) {
    err << "sndlatch-patch: " << name << " is a folder, not a program; " << kScanHint << "\""
        << name << "\"\n";
    return kExitUsage;
}

int usage_error(const std::string &message, std::ostream &err) {
    err << "sndlatch-patch: " << message << "\n"
        << kUsage << "Try 'sndlatch-patch --help' for more information.\n";
    return kExitUsage;
}

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
        return a.restore ? restore_program(a.host, out, err)
               : a.scan  ? run_scan(a.host, out, err)
                         : patch_program(a, out, err);
    } catch (const ReadError &e) {
        err << "sndlatch-patch: " << e.what() << "; nothing changed\n";
        return kExitUsage;
    }
}

} // namespace sndlatch
