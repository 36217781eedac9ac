// How one module gets waveOutOpen: the verdicts --scan prints and --dropin
// reads.
#include "patch.hpp"
#include "scan.hpp"

#include <algorithm>
#include <functional>
#include <vector>

namespace sndlatch {

const char *const kUse64BitDropin = "64-bit: use the 64-bit drop-in winmm.dll (--dropin)";

namespace {

// The start of the drop-in's FileDescription (dropin/winmm.rc), which its
// version resource holds in UTF-16: both architectures' drop-ins, of any
// version, carry it, whatever their code looks like.
const char *const kDropinMark = "sndlatch drop-in winmm.dll";

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

// The UTF-16LE form of an ASCII string, made at run time so that this
// tool's own file never holds it.
std::string utf16(const char *ascii) {
    std::string s;
    for (; *ascii; ++ascii) {
        s.push_back(*ascii);
        s.push_back('\0');
    }
    return s;
}

} // namespace

bool opens_device(Reach r) {
    switch (r) {
    case Reach::Patchable:
    case Reach::Unpatchable:
    case Reach::AlreadyPatched:
    case Reach::ByOrdinal:
    case Reach::DelayLoaded:
    case Reach::RunTime:
    case Reach::Bit64:
        return true;
    default:
        return false;
    }
}

ScanResult scan_module(std::shared_ptr<const ByteSource> file) {
    ScanResult r;
    try {
        // A 64-bit module is read like a 32-bit one, but only the drop-in
        // built for it can reach it.
        const PeImage pe = parse_pe_any(file);
        r.bit64 = pe.pe32_plus;
        r.is_dll = (pe.characteristics & kFileDll) != 0;
        if (file_contains(*file, utf16(kDropinMark))) {
            r.reach = Reach::DropIn;
            return r;
        }
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
                r.refusal = e.reason;
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

} // namespace sndlatch
