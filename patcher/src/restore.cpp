#include "commands.hpp"
#include "exit_code.hpp"
#include "files.hpp"
#include "patch.hpp"

#include <filesystem>
#include <ostream>
#include <system_error>

namespace fs = std::filesystem;

namespace sndlatch {

namespace {

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

} // namespace

int restore_program(const std::string &host, std::ostream &out, std::ostream &err) {
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

} // namespace sndlatch
