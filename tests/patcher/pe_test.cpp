// Reading the test hosts, and surviving damaged input.
#include "patch.hpp"
#include "test_util.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

using namespace sndlatch;
using testutil::host;

namespace {

// Linkers sort a DLL's imports by name; the hosts choose their calls so
// that waveOutOpen lands first, in the middle and last.
TEST(Pe, HostsPutWaveOutOpenWhereIntended) {
    const std::pair<const char *, std::vector<std::string>> cases[] = {
        {"host-first-s.exe", {"waveOutOpen", "waveOutReset"}},
        {"host-middle.exe",
         {"midiOutGetNumDevs", "waveOutGetNumDevs", "waveOutOpen", "waveOutReset"}},
        {"host-last-s.exe", {"midiOutGetNumDevs", "waveOutGetNumDevs", "waveOutOpen"}},
        {"host-msvc.exe",
         {"midiOutGetNumDevs", "waveOutGetNumDevs", "waveOutOpen", "waveOutReset"}},
    };
    for (const auto &[name, expected] : cases) {
        std::vector<std::string> winmm;
        for (const ImportDescriptor &d : read_imports(parse_pe(host(name))))
            for (const Thunk &t : d.thunks)
                if (is_winmm(d.dll))
                    winmm.push_back(t.name);
        EXPECT_EQ(winmm, expected) << name;
    }
    const PeImage unstripped = parse_pe(host("host-last.exe"));
    EXPECT_GE(unstripped.symbol_table_ptr, unstripped.end_of_section_data);
}

// Damaged input may be refused or patched, but nothing else: no crash, no
// other exception, and whatever is patched reads back as patched.
void analyze_and_patch(const Bytes &file) {
    try {
        const Analysis a = analyze(file, {});
        if (a.verdict == Verdict::Patchable) {
            EXPECT_EQ(analyze(build_patched(file, a, {}), {}).verdict, Verdict::AlreadyPatched);
        }
    } catch (const Refusal &) {
    }
}

TEST(Pe, DamagedInputIsRefusedNotCrashed) {
    std::mt19937 rng(1234);
    for (const char *name : {"host-msvc.exe", "host-middle-s.exe"}) {
        const Bytes file = host(name);
        for (size_t len = 0; len < file.size(); len += (len < 0x400 ? 1 : 7))
            analyze_and_patch(Bytes(file.begin(), file.begin() + ptrdiff_t(len)));

        // Random bytes in the headers and the import directory.
        const PeImage pe = parse_pe(file);
        size_t imports = 0;
        ASSERT_TRUE(pe.rva_to_offset(pe.dirs[kDirImport].rva, 1, imports));
        for (int round = 0; round < 3000; ++round) {
            Bytes bad = file;
            for (int i = 0, n = 1 + int(rng() % 4); i < n; ++i) {
                const size_t at = ((rng() & 1) ? 0 : imports) + rng() % 0x400;
                if (at < bad.size())
                    bad[at] = uint8_t(rng());
            }
            analyze_and_patch(bad);
        }
    }
}

// host-msvc.exe whose import directory is `descriptors` descriptors that
// all share one lookup table (and IAT) of `entries` KERNEL32!Sleep imports,
// placed after the data of its last section, which grows to hold them.
Bytes shared_lookup_table(size_t descriptors, size_t entries) {
    Bytes b = host("host-msvc.exe");
    const PeImage pe = parse_pe(b);
    const Section last = pe.sections.back();
    if (last.raw_size < last.virtual_size)
        throw std::logic_error("host-msvc.exe's last section has a zero-filled tail");
    const uint32_t base = last.va + last.raw_size;
    const uint32_t dll = base, hint_name = base + 16, desc = base + 32;
    const uint32_t table = desc + uint32_t(kImportDescSize * (descriptors + 1));
    Bytes extra(table - base + 4 * (entries + 1), 0);
    std::memcpy(&extra[dll - base], "KERNEL32.dll", 12);
    std::memcpy(&extra[hint_name - base + 2], "Sleep", 5);
    for (size_t i = 0; i < descriptors; ++i) {
        const size_t d = desc - base + kImportDescSize * i;
        wr32(extra, d, table);
        wr32(extra, d + 12, dll);
        wr32(extra, d + 16, table);
    }
    for (size_t k = 0; k < entries; ++k)
        wr32(extra, table - base + 4 * k, hint_name);
    testutil::grow_last_section(b, extra);
    testutil::set_dir(b, kDirImport, desc, uint32_t(kImportDescSize * (descriptors + 1)));
    return b;
}

// Descriptors may share a lookup table, so the per-descriptor limit alone
// let 4095 descriptors over one 65535-entry table (a 350 KB file) make the
// reader build 268 million imports and run out of memory.
TEST(Pe, ImportsAreLimitedInTotalNotJustPerDescriptor) {
    const Bytes two = shared_lookup_table(2, 30000);
    size_t imports = 0;
    for (const ImportDescriptor &d : read_imports(parse_pe(two)))
        imports += d.thunks.size();
    EXPECT_EQ(imports, 60000u);

    const Bytes three = shared_lookup_table(3, 30000);
    try {
        read_imports(parse_pe(three));
        ADD_FAILURE() << "90,000 imports were read";
    } catch (const Refusal &r) {
        EXPECT_STREQ(r.what(), "the program imports unreasonably many functions");
    }
}

// The loader reads zeros in a section's tail past its file data, so an
// import directory may end there: its terminating descriptor is never in
// the file.
TEST(Pe, ImportTableMayEndInAZeroFilledSectionTail) {
    const Bytes original = host("host-msvc.exe");
    const PeImage pe = parse_pe(original);
    const std::vector<ImportDescriptor> expected = read_imports(pe);
    size_t off = 0;
    ASSERT_TRUE(pe.rva_to_offset(pe.dirs[kDirImport].rva, 1, off));
    const size_t size = kImportDescSize * expected.size(); // without the terminator
    Bytes extra(align_up(size, pe.file_alignment) - size, 0);
    extra.insert(extra.end(), original.begin() + ptrdiff_t(off),
                 original.begin() + ptrdiff_t(off + size));
    Bytes b = original;
    const uint32_t at = testutil::grow_last_section(b, extra, 0x100);
    testutil::set_dir(b, kDirImport, uint32_t(at + extra.size() - size),
                      uint32_t(size + kImportDescSize));

    std::vector<std::string> got;
    try {
        for (const ImportDescriptor &d : read_imports(parse_pe(b)))
            got.push_back(d.dll + ":" + std::to_string(d.thunks.size()));
    } catch (const Refusal &r) {
        FAIL() << "refused: " << r.what();
    }
    std::vector<std::string> want;
    for (const ImportDescriptor &d : expected)
        want.push_back(d.dll + ":" + std::to_string(d.thunks.size()));
    EXPECT_EQ(got, want);
    const Analysis a = analyze(b, {});
    EXPECT_EQ(analyze(build_patched(b, a, {}), {}).verdict, Verdict::AlreadyPatched);
}

TEST(Pe, ExportNamesAreMatchedExactly) {
    const Bytes lib = host("hostlib.dll"), exe = host("host-msvc.exe");
    EXPECT_TRUE(exports_name(parse_pe(lib), "sound_main"));
    for (const char *other : {"sndlatch", "sound_mai", "sound_main2", "SOUND_MAIN"})
        EXPECT_FALSE(exports_name(parse_pe(lib), other)) << other;
    EXPECT_FALSE(exports_name(parse_pe(exe), "sound_main"));
}

} // namespace
