#include "commands.hpp"
#include "exit_code.hpp"
#include "files.hpp"
#include "patch.hpp"
#include "scan.hpp"

#include <filesystem>
#include <ostream>
#include <system_error>

namespace fs = std::filesystem;

namespace sndlatch {

namespace {

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

void note_if_closes(const std::string &program, const Analysis &an, std::ostream &out) {
    if (an.imports_wave_out_close)
        out << "note: " << program << ": " << kCloseNote << "\n";
}

std::string slot_count(const Analysis &an) {
    const size_t n = an.redirected_slots.size();
    return std::to_string(n) + " waveOutOpen import" + (n == 1 ? "" : "s");
}

} // namespace

int patch_program(const PatchRequest &a, std::ostream &out, std::ostream &err) {
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

} // namespace sndlatch
