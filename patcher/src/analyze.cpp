// Deciding whether a program can be patched: every refusal that depends on
// the program as it is, before any plan is made.
#include "layout.hpp"
#include "patch.hpp"

#include <algorithm>
#include <cstring>

namespace sndlatch {

namespace {

// Section names left by executable packers. A packed program builds its
// real imports at run time, so patching its import table would not help.
const char *const kPackerSections[] = {
    "UPX",     ".UPX",      ".aspack",  ".adata",   "ASPack",   ".MPRESS", "MPRESS",
    "PEC2",    "PECompact", "pec1",     ".petite",  ".nsp0",    ".nsp1",   "nsp0",
    "FSG!",    ".packed",   "kkrunchy", ".themida", ".winlice", ".vmp0",   ".vmp1",
    ".enigma", "MEW",       ".RLPack",  ".yP",      ".perplex",
};

bool starts_with_nocase(const std::string &s, const std::string &prefix) {
    return s.size() >= prefix.size() && iequals(s.substr(0, prefix.size()), prefix);
}

void check_not_packed(const PeImage &pe) {
    for (const Section &s : pe.sections) {
        for (const char *p : kPackerSections) {
            if (starts_with_nocase(s.name, p))
                refuse(Reason::Packed, "it looks packed (section \"" + s.name +
                                           "\"); unpack it first, e.g. with \"upx -d\"");
        }
    }
    // UPX leaves its "UPX!" marker just after the section table. The area
    // is read in chunks that overlap by three bytes.
    const ByteSource &f = *pe.file;
    const size_t to = std::min<size_t>(pe.size_of_headers, f.size());
    Bytes chunk;
    for (size_t from = pe.section_table_end(); from + 4 <= to; from += chunk.size() - 3) {
        chunk.resize(std::min<size_t>(to - from, 0x10000));
        f.read(from, chunk.data(), chunk.size());
        for (size_t i = 0; i + 4 <= chunk.size(); ++i) {
            if (std::memcmp(&chunk[i], "UPX!", 4) == 0)
                refuse(Reason::Packed, "it looks packed with UPX; unpack it first with \"upx "
                                       "-d\"");
        }
    }
}

} // namespace

std::string refusal_text(const Refusal &r) {
    return dropin_overcomes(r.reason) ? r.what() + std::string(kDropinHint) : r.what();
}

Analysis analyze(const Bytes &file, const PatchOptions &opts) {
    return analyze(std::make_shared<BytesSource>(file), opts);
}

Analysis analyze(std::shared_ptr<const ByteSource> file, const PatchOptions &opts) {
    Analysis a;
    a.pe = parse_pe(std::move(file));
    const PeImage &pe = a.pe;

    a.is_dll = (pe.characteristics & kFileDll) != 0;
    if (!(pe.characteristics & kFileExecutable))
        refuse(Reason::NotNative, "it is not marked as an executable image");
    if (pe.dir(kDirClr).size != 0)
        refuse(Reason::NotNative,
               "it is a .NET program; only native programs have an import table to patch");
    if (pe.dll_characteristics & kDllCharForceIntegrity)
        refuse(Reason::ForceIntegrity,
               "it has the FORCE_INTEGRITY flag, so Windows would not load it once "
               "changed");
    check_not_packed(pe);
    // sndlatch.dll imports waveOutOpen itself; redirected, it would call itself.
    if (exports_name(pe, kExportName))
        refuse(Reason::IsSndlatch,
               std::string("it is sndlatch.dll itself, or a copy (it exports ") + kExportName +
                   "); its own waveOutOpen import must stay");

    a.imports = read_imports(pe);

    bool imports_sndlatch = false;
    bool winmm_by_ordinal = false;
    for (const ImportDescriptor &d : a.imports) {
        if (iequals(d.dll, kDllName)) {
            for (const Thunk &t : d.thunks)
                imports_sndlatch |= (!t.by_ordinal && t.name == kExportName);
        }
        if (!is_winmm(d.dll))
            continue;
        for (size_t k = 0; k < d.thunks.size(); ++k) {
            if (d.thunks[k].by_ordinal)
                winmm_by_ordinal = true;
            else if (d.thunks[k].name == "waveOutOpen")
                a.redirected_slots.push_back(d.slot_rva(k));
            else if (d.thunks[k].name == "waveOutClose")
                a.imports_wave_out_close = true;
        }
    }
    for (const std::string &dll : read_delay_import_dlls(pe)) {
        if (is_winmm(dll))
            refuse(Reason::DelayLoaded,
                   "it loads WINMM.DLL on demand (delay-load), which sndlatch-patch does not "
                   "handle");
    }
    if (a.redirected_slots.empty() && imports_sndlatch && !winmm_by_ordinal) {
        a.verdict = Verdict::AlreadyPatched;
        return a;
    }

    a.has_signature = pe.dir(kDirSecurity).size != 0;
    if (a.has_signature && !opts.strip_signature)
        refuse(Reason::Signed, "it is Authenticode-signed and patching would break the signature "
                               "(use --strip-signature to drop it)");
    if (winmm_by_ordinal)
        refuse(Reason::ByOrdinal,
               "it imports WINMM.DLL by ordinal; ordinals differ between Windows versions, "
               "so waveOutOpen cannot be identified");
    if (a.redirected_slots.empty())
        refuse(Reason::NoWaveOutOpen,
               "it does not import waveOutOpen from WINMM.DLL, so there is nothing to redirect; "
               "if it plays sound all the same, it gets waveOutOpen another way (at run time, "
               "or from a DLL of its own: --scan its folder)");
    if (pe.data_dir_count <= kDirIat)
        refuse(Reason::Damaged,
               "its optional header has too few data directories to describe the IAT");

    new_header_offset(pe);
    return a;
}

} // namespace sndlatch
