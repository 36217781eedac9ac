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
    "  (none)             patch HOST.exe in place; the original is first kept as\n"
    "                     HOST.exe.orig (an existing .orig is never overwritten)\n"
    "  -o OUT             write the patched program to OUT, leave HOST.exe alone\n"
    "  --check            report whether HOST.exe can be patched, is already\n"
    "                     patched, or why not; change nothing\n"
    "  --strip-signature  patch a signed program too, dropping its Authenticode\n"
    "                     signature (Windows will treat it as unsigned)\n"
    "  --restore          put HOST.exe back from HOST.exe.orig, byte for byte\n"
    "                     (the .orig file becomes HOST.exe again)\n"
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
    "\n"
    "Exit codes:\n"
    "  0  patched, already patched, (with --check) can be patched, or (with\n"
    "     --scan) the folder was scanned\n"
    "  1  the program cannot be patched; the reason is printed\n"
    "  2  usage error or a file could not be read or written\n"
    "On exit codes 1 and 2 no file has been changed.\n"
    "\n"
    "Example:\n"
    "  sndlatch-patch game.exe            # patches game.exe, keeps game.exe.orig\n"
    "  (copy sndlatch.dll into the folder that holds game.exe)\n"
    "  sndlatch-patch --check game.exe    # says: already patched\n"
    "  sndlatch-patch --restore game.exe  # the original again\n";

std::string dir_of_path(const std::string &path) {
    const fs::path parent = fs::path(path).parent_path();
    return parent.empty() ? std::string(".") : parent.string();
}

// The Windows loader finds sndlatch.dll in the program's folder whatever
// its case, so look for it the same way.
bool dll_beside(const std::string &program) {
    std::error_code ec;
    for (fs::directory_iterator it(dir_of_path(program), ec), end; !ec && it != end;
         it.increment(ec)) {
        if (iequals(it->path().filename().string(), kDllName))
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

int do_restore(const Args &a, std::ostream &out, std::ostream &err) {
    const std::string orig = a.host + ".orig";
    std::error_code ec;
    if (!fs::is_regular_file(orig, ec)) {
        err << "sndlatch-patch: " << orig << " not found; nothing to restore\n";
        return kExitUsage;
    }
    // A rename keeps the original's bytes exactly and is atomic.
    fs::rename(orig, a.host, ec);
    if (ec) {
        err << "sndlatch-patch: cannot restore " << a.host << " from " << orig << ": "
            << ec.message() << "\n";
        return kExitUsage;
    }
    out << "restored " << a.host << " from " << orig << "\n";
    return kExitOk;
}

std::string slot_count(const Analysis &an) {
    const size_t n = an.redirected_slots.size();
    return std::to_string(n) + " waveOutOpen import" + (n == 1 ? "" : "s");
}

} // namespace

std::shared_ptr<FileSource> FileSource::open(const std::string &path, std::string &error) {
    std::error_code ec;
    if (fs::is_directory(path, ec)) {
        error = "is a directory";
        return nullptr;
    }
    std::shared_ptr<FileSource> f(new FileSource);
    f->in_.open(path, std::ios::binary);
    if (!f->in_) {
        error = "cannot open it for reading";
        return nullptr;
    }
    const std::streamoff size = f->in_.seekg(0, std::ios::end).tellg();
    if (!f->in_ || size < 0) {
        error = "read error";
        return nullptr;
    }
    // A file too big for size_t is too big for a 32-bit program anyway;
    // the parser refuses it by its size.
    f->size_ = uint64_t(size) > SIZE_MAX ? SIZE_MAX : size_t(size);
    return f;
}

void FileSource::read_file(size_t off, void *dst, size_t len) const {
    in_.clear();
    in_.seekg(std::streamoff(off));
    in_.read(static_cast<char *>(dst), std::streamsize(len));
    if (!in_ || size_t(in_.gcount()) != len)
        throw ReadError("read error");
}

void FileSource::read_checked(size_t off, void *dst, size_t len) const {
    if (len >= kBlock) {
        read_file(off, dst, len);
        return;
    }
    uint8_t *to = static_cast<uint8_t *>(dst);
    while (len != 0) {
        const size_t index = off / kBlock, in = off % kBlock;
        auto it = blocks_.find(index);
        if (it == blocks_.end()) {
            if (blocks_.size() >= kMaxBlocks)
                blocks_.clear();
            Bytes block(std::min(kBlock, size_ - index * kBlock));
            read_file(index * kBlock, block.data(), block.size());
            it = blocks_.emplace(index, std::move(block)).first;
        }
        const size_t n = std::min(len, it->second.size() - in);
        std::memcpy(to, it->second.data() + in, n);
        to += n;
        off += n;
        len -= n;
    }
}

bool write_atomic(const std::string &path, const std::string &mode_from, std::string &error,
                  const std::function<bool(const std::string &tmp, std::string &error)> &fill) {
    std::error_code ec;
    std::string tmp;
    for (int i = 0;; ++i) {
        tmp = path + ".sndlatch-tmp" + std::to_string(i);
        if (!fs::exists(tmp, ec))
            break;
        if (i == 100) {
            error = "cannot find a free temporary file name";
            return false;
        }
    }
    if (!fill(tmp, error)) {
        fs::remove(tmp, ec);
        return false;
    }
    if (!mode_from.empty()) {
        const fs::perms p = fs::status(mode_from, ec).permissions();
        if (!ec)
            fs::permissions(tmp, p, ec);
    }
    fs::rename(tmp, path, ec);
    if (ec) {
        std::error_code ignored;
        fs::remove(tmp, ignored);
        error = ec.message();
        return false;
    }
    return true;
}

int run(const std::vector<std::string> &args, std::ostream &out, std::ostream &err) {
    Args a;
    const std::string usage_error = parse_args(args, a);
    if (!usage_error.empty()) {
        err << "sndlatch-patch: " << usage_error << "\n"
            << kUsage << "Try 'sndlatch-patch --help' for more information.\n";
        return kExitUsage;
    }
    if (a.help) {
        out << kUsage << "\n" << kHelp;
        return kExitOk;
    }
    if (a.version) {
        out << "sndlatch-patch " << SNDLATCH_VERSION << "\n";
        return kExitOk;
    }
    if (a.restore)
        return do_restore(a, out, err);
    if (a.scan)
        return run_scan(a.host, out, err);

    // Only the parts of the program that the analysis needs are read; the
    // rest is streamed from the file when the output is written.
    std::string error;
    const std::shared_ptr<FileSource> input = FileSource::open(a.host, error);
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
        err << "sndlatch-patch: " << a.host << ": cannot be patched: " << r.what() << "\n";
        return kExitRefused;
    } catch (const ReadError &e) {
        err << "sndlatch-patch: " << a.host << ": " << e.what() << "\n";
        return kExitUsage;
    }

    if (an.verdict == Verdict::AlreadyPatched) {
        out << a.host << ": already patched (imports " << kDllName << "!" << kExportName << ")\n";
        note_if_closes(a.host, an, out);
        if (!a.check)
            warn_if_no_dll(a.host, an.is_dll, err);
        return kExitOk;
    }
    if (a.check) {
        out << a.host << ": can be patched (" << slot_count(an) << " from WINMM.DLL)\n";
        note_if_closes(a.host, an, out);
        return kExitOk;
    }

    // Writes the patched program to `tmp`, then lets go of the input so that
    // the rename may replace it.
    auto write_output = [&](const std::string &tmp, std::string &why) {
        std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
        if (!f) {
            why = "cannot create " + tmp;
            input->close();
            return false;
        }
        try {
            write_patched(plan, *input, f);
        } catch (const std::runtime_error &) { // ReadError, or a Refusal if the file shrank
            why = "cannot read " + a.host;
            input->close();
            return false;
        }
        input->close();
        f.close();
        if (!f) {
            why = "cannot write " + tmp;
            return false;
        }
        return true;
    };

    if (!a.output.empty()) {
        if (!write_atomic(a.output, a.host, error, write_output)) {
            err << "sndlatch-patch: cannot write " << a.output << ": " << error << "\n";
            return kExitUsage;
        }
        out << "wrote " << a.output << " (" << slot_count(an) << " now from " << kDllName << ")\n";
        note_if_closes(a.output, an, out);
        warn_if_no_dll(a.output, an.is_dll, err);
        return kExitOk;
    }

    // In place: keep the original first, so a failure later leaves both
    // files as they were.
    const std::string orig = a.host + ".orig";
    std::error_code ec;
    const bool keep_orig = !fs::exists(orig, ec);
    auto copy_input = [&](const std::string &tmp, std::string &why) {
        std::error_code copy_ec;
        fs::copy_file(a.host, tmp, copy_ec);
        if (copy_ec)
            why = copy_ec.message();
        return !copy_ec;
    };
    if (keep_orig && !write_atomic(orig, a.host, error, copy_input)) {
        err << "sndlatch-patch: cannot write " << orig << ": " << error << "\n";
        return kExitUsage;
    }
    if (!write_atomic(a.host, a.host, error, write_output)) {
        if (keep_orig)
            fs::remove(orig, ec);
        err << "sndlatch-patch: cannot write " << a.host << ": " << error << "\n";
        return kExitUsage;
    }
    out << "patched " << a.host << " (" << slot_count(an) << " now from " << kDllName << "); ";
    if (keep_orig)
        out << "original kept as " << orig << "\n";
    else
        out << "existing " << orig << " left as it was\n";
    note_if_closes(a.host, an, out);
    warn_if_no_dll(a.host, an.is_dll, err);
    return kExitOk;
}

} // namespace sndlatch
