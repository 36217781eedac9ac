// libFuzzer target: analyses and patches each input the way sndlatch-patch
// does (read from a file, planned, streamed out) and the way the tests do
// (in memory); both must agree byte for byte. Refusals are fine; any other
// exception, a sanitizer report or a patched program that breaks one of the
// rules below aborts the run.
//
// The rules for a successful patch:
// - the output parses as PE32 with every original section unchanged
//   (header fields and file bytes) and one new ".sndlat" section after them;
// - every file byte from the end of the headers to the end of the last
//   section is unchanged, and data after it moves intact;
// - each IAT slot keeps its importer and function, except that WINMM's
//   waveOutOpen now comes from sndlatch.dll!sndlatch;
// - the IAT directory covers every slot, the checksum is right when set;
// - the output follows the loader's layout rules (in a flat-mapped image
//   the new section's file offset equals its address);
// - analysing the output again says "already patched".
// And "can be patched", as --check and --scan decide it, is always followed
// by a patch that is written out.
#include "cli.hpp"
#include "layout.hpp"
#include "patch.hpp"
#include "pe.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

using namespace sndlatch;

namespace {

[[noreturn]] void fail(const char *what, int line) {
    std::fprintf(stderr, "patch_fuzz: broken rule at line %d: %s\n", line, what);
    std::abort();
}

#define REQUIRE(cond)                                                                              \
    do {                                                                                           \
        if (!(cond))                                                                               \
            fail(#cond, __LINE__);                                                                 \
    } while (0)

DataDir dir(const PeImage &pe, int index) {
    return uint32_t(index) < pe.data_dir_count ? pe.dirs[index] : DataDir{};
}

bool same_bytes(const Bytes &a, const Bytes &b, size_t off, size_t len) {
    return off <= a.size() && len <= a.size() - off && off <= b.size() && len <= b.size() - off &&
           std::equal(a.begin() + ptrdiff_t(off), a.begin() + ptrdiff_t(off + len),
                      b.begin() + ptrdiff_t(off));
}

// What the loader writes into one IAT slot.
using SlotImport =
    std::tuple<uint32_t, std::string, std::string, uint32_t>; // slot, dll, name, hint or ordinal

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return s;
}

// Every slot's import, sorted; a slot written twice appears twice.
std::vector<SlotImport> slot_imports(const std::vector<ImportDescriptor> &imports, bool redirect) {
    std::vector<SlotImport> v;
    for (const ImportDescriptor &d : imports) {
        const std::string dll = is_winmm(d.dll) ? "winmm.dll" : lower(d.dll);
        for (size_t k = 0; k < d.thunks.size(); ++k) {
            const Thunk &t = d.thunks[k];
            if (t.by_ordinal)
                v.emplace_back(d.slot_rva(k), dll, "#", t.value);
            else if (redirect && dll == "winmm.dll" && t.name == "waveOutOpen")
                v.emplace_back(d.slot_rva(k), kDllName, kExportName, 0);
            else
                v.emplace_back(d.slot_rva(k), dll, t.name, t.hint);
        }
    }
    std::sort(v.begin(), v.end());
    return v;
}

void check_patched(const Bytes &in, const Analysis &a, const Bytes &out) {
    const PeImage &before = a.pe;
    const PeImage after = parse_pe(out);

    // The original sections, unchanged, then the new one.
    REQUIRE(after.sections.size() == before.sections.size() + 1);
    for (size_t i = 0; i < before.sections.size(); ++i) {
        const Section &s = before.sections[i], &t = after.sections[i];
        REQUIRE(s.name == t.name && s.va == t.va && s.virtual_size == t.virtual_size &&
                s.raw_size == t.raw_size && s.raw_ptr == t.raw_ptr &&
                s.characteristics == t.characteristics);
        if (s.raw_size != 0)
            REQUIRE(same_bytes(in, out, s.raw_ptr, s.raw_size));
    }
    REQUIRE(same_bytes(in, out, before.size_of_headers,
                       before.end_of_section_data - before.size_of_headers));

    const Section &added = after.sections.back();
    REQUIRE(added.name == kSectionName);
    REQUIRE(added.characteristics == 0x40000040u); // initialized data, read-only
    REQUIRE(added.raw_ptr >= before.end_of_section_data && added.raw_size >= added.virtual_size);
    REQUIRE(!mapped_flat(after) || added.raw_ptr == added.va);
    check_loader_layout(after);
    uint64_t image_end = 0;
    for (const Section &s : before.sections)
        image_end = std::max<uint64_t>(image_end, uint64_t(s.va) + s.mapped_size());
    REQUIRE(added.va == align_up(image_end, before.section_alignment));
    REQUIRE(after.size_of_image ==
            align_up(uint64_t(added.va) + added.virtual_size, after.section_alignment));

    const DataDir imp = dir(after, kDirImport);
    REQUIRE(imp.rva == added.va && imp.size <= added.virtual_size);
    REQUIRE(dir(after, kDirBoundImport).rva == 0 && dir(after, kDirBoundImport).size == 0);

    // Data after the sections (symbol table and the like) follows the new
    // section intact, unless a trailing certificate was cut off.
    if (!a.has_signature) {
        const size_t tail = in.size() - before.end_of_section_data;
        REQUIRE(out.size() >= tail &&
                std::equal(in.end() - ptrdiff_t(tail), in.end(), out.end() - ptrdiff_t(tail)));
        const uint32_t sym = before.symbol_table_ptr;
        if (sym != 0 && sym >= before.end_of_section_data && sym <= in.size())
            REQUIRE(after.symbol_table_ptr == sym + (out.size() - in.size()));
        else
            REQUIRE(after.symbol_table_ptr == sym);
    } else {
        REQUIRE(dir(after, kDirSecurity).rva == 0 && dir(after, kDirSecurity).size == 0);
    }

    REQUIRE(after.checksum == (before.checksum ? pe_checksum(out, after.checksum_off()) : 0u));

    // Same importer for every slot, bar waveOutOpen; nothing bound; the
    // IAT directory spans every slot the loader writes, terminators included.
    const std::vector<ImportDescriptor> imports = read_imports(after);
    REQUIRE(slot_imports(imports, false) == slot_imports(a.imports, true));
    const DataDir iat = dir(after, kDirIat);
    for (const ImportDescriptor &d : imports) {
        REQUIRE(d.time_date_stamp == 0 && d.forwarder_chain == 0);
        REQUIRE(d.first_thunk >= iat.rva &&
                d.slot_rva(d.thunks.size()) + uint64_t(4) <= uint64_t(iat.rva) + iat.size);
    }

    // A second run recognises its own work, with or without --strip-signature.
    for (const bool strip : {false, true}) {
        PatchOptions opts;
        opts.strip_signature = strip;
        REQUIRE(analyze(out, opts).verdict == Verdict::AlreadyPatched);
    }
}

// The input as a file, read the way the tool reads its program: an
// anonymous in-memory file, reopened by path for each input, so nothing is
// left on disk.
class InputFile {
  public:
    InputFile() : fd_(memfd_create("patch_fuzz_input", 0)) {
        if (fd_ < 0) {
            std::perror("patch_fuzz: memfd_create");
            std::abort();
        }
        path_ = "/proc/self/fd/" + std::to_string(fd_);
    }
    std::shared_ptr<FileSource> load(const Bytes &data) {
        REQUIRE(ftruncate(fd_, 0) == 0);
        for (size_t done = 0; done < data.size();) {
            const ssize_t n = pwrite(fd_, data.data() + done, data.size() - done, off_t(done));
            REQUIRE(n > 0);
            done += size_t(n);
        }
        std::string error;
        std::shared_ptr<FileSource> f = FileSource::open(path_, error);
        REQUIRE(f != nullptr);
        return f;
    }

  private:
    int fd_;
    std::string path_;
};

// What one path through the patcher made of an input.
struct Outcome {
    bool refused = false;
    std::string reason;
    Analysis analysis;
    Bytes out; // the patched program, when there is one
};

// As the tool runs: the program read from its file, the patch planned and
// streamed out.
Outcome run_streamed(const Bytes &in, const PatchOptions &opts) {
    static InputFile file;
    const std::shared_ptr<FileSource> source = file.load(in);
    Outcome o;
    PatchPlan plan;
    try {
        // What --check, --scan and patching all decide from.
        Decision d = decide(source, opts);
        o.analysis = std::move(d.analysis);
        if (o.analysis.verdict != Verdict::Patchable)
            return o;
        plan = std::move(d.plan);
    } catch (const Refusal &r) {
        o.refused = true;
        o.reason = r.what();
        return o;
    }
    // The check said "can be patched": writing may not fail now.
    std::stringstream stream;
    write_patched(plan, *source, stream);
    REQUIRE(stream.good());
    const std::string text = stream.str();
    o.out.assign(text.begin(), text.end());
    REQUIRE(o.out.size() == plan.size);
    return o;
}

// The in-memory path the tests use.
Outcome run_in_memory(const Bytes &in, const PatchOptions &opts) {
    Outcome o;
    try {
        o.analysis = analyze(in, opts);
        if (o.analysis.verdict == Verdict::Patchable)
            o.out = build_patched(in, o.analysis, opts);
    } catch (const Refusal &r) {
        o.refused = true;
        o.reason = r.what();
    }
    return o;
}

// One run of the tool on `in`, checked against the in-memory path and the
// rules above. Returns false when it refuses.
bool patch_and_check(const Bytes &in, const PatchOptions &opts) {
    const Outcome streamed = run_streamed(in, opts);
    const Outcome memory = run_in_memory(in, opts);
    if (streamed.refused != memory.refused || streamed.reason != memory.reason) {
        std::fprintf(stderr, "patch_fuzz: streamed: \"%s\", in memory: \"%s\"\n",
                     streamed.reason.c_str(), memory.reason.c_str());
        fail("both paths give the same verdict", __LINE__);
    }
    if (streamed.refused)
        return false;
    const Analysis &a = streamed.analysis;
    REQUIRE(a.verdict == memory.analysis.verdict);
    if (a.verdict != Verdict::Patchable)
        return true;
    REQUIRE(!a.redirected_slots.empty());
    REQUIRE(!a.has_signature || opts.strip_signature);
    REQUIRE(streamed.out == memory.out);
    try {
        check_patched(in, a, streamed.out);
    } catch (const Refusal &r) {
        std::fprintf(stderr, "patch_fuzz: the patched program does not read back: %s\n", r.what());
        std::abort();
    }
    return true;
}

bool has_security_dir(const Bytes &in) {
    try {
        return dir(parse_pe(in), kDirSecurity).size != 0;
    } catch (const Refusal &) {
        return false;
    }
}

// File ranges whose bytes decide what the patcher does: the headers and
// section table, the import directory, and each descriptor's lookup table,
// IAT, DLL name and first few hint/name entries. Mutations anywhere else
// in a host of 40 to 230 KB mostly land in code the patcher never reads.
struct Window {
    size_t off, len;
};

std::vector<Window> interesting_windows(const Bytes &file) {
    std::vector<Window> w;
    w.push_back({0, std::min<size_t>(file.size(), 0x400)});
    try {
        const PeImage pe = parse_pe(file);
        w[0].len = std::min<size_t>(pe.size_of_headers, 0x1000);
        auto add = [&](uint32_t rva, size_t len) {
            size_t off;
            if (len != 0 && pe.rva_to_offset(rva, len, off))
                w.push_back({off, len});
        };
        const DataDir imp = dir(pe, kDirImport);
        add(imp.rva, std::min<size_t>(imp.size, 0x200));
        for (const ImportDescriptor &d : read_imports(pe)) {
            const size_t table = 4 * (d.thunks.size() + 1);
            add(d.original_first_thunk, table);
            add(d.first_thunk, table);
            add(d.name_rva, d.dll.size() + 1);
            for (size_t k = 0; k < d.thunks.size() && k < 8; ++k)
                if (!d.thunks[k].by_ordinal)
                    add(d.thunks[k].value, d.thunks[k].name.size() + 3);
        }
    } catch (const Refusal &) {
        // Whatever was found before the damage.
    }
    return w;
}

} // namespace

extern "C" size_t LLVMFuzzerMutate(uint8_t *data, size_t size, size_t max_size);

// Half of the mutations are libFuzzer's own over the whole input; the other
// half change bytes inside one interesting window, keeping the size.
extern "C" size_t LLVMFuzzerCustomMutator(uint8_t *data, size_t size, size_t max_size,
                                          unsigned seed) {
    std::minstd_rand rng(seed);
    if (size == 0 || rng() % 2 == 0)
        return LLVMFuzzerMutate(data, size, max_size);
    const std::vector<Window> w = interesting_windows(Bytes(data, data + size));
    const Window &pick = w[rng() % w.size()];
    if (pick.len == 0)
        return LLVMFuzzerMutate(data, size, max_size);
    LLVMFuzzerMutate(data + pick.off, pick.len, pick.len);
    return size;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const Bytes in(data, data + size);
    try {
        // As run without options; a signed program only gets through with
        // --strip-signature.
        if (!patch_and_check(in, PatchOptions{}) && has_security_dir(in)) {
            PatchOptions strip;
            strip.strip_signature = true;
            patch_and_check(in, strip);
        }
    } catch (const std::exception &e) {
        std::fprintf(stderr, "patch_fuzz: unexpected exception: %s\n", e.what());
        std::abort();
    }
    return 0;
}
