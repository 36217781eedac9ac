// Structure of patched programs: built from every test host and from
// altered copies, then read back with the same PE reader.
#include "cli.hpp"
#include "layout.hpp"
#include "patch.hpp"
#include "test_util.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>

using namespace sndlatch;
using testutil::host;

namespace {

// Which function the loader will write into each IAT slot.
std::map<uint32_t, std::string> slot_map(const Bytes &file) {
    std::map<uint32_t, std::string> m;
    for (const ImportDescriptor &d : read_imports(parse_pe(file))) {
        std::string dll = is_winmm(d.dll) ? "winmm.dll" : d.dll;
        std::transform(dll.begin(), dll.end(), dll.begin(),
                       [](unsigned char c) { return char(std::tolower(c)); });
        for (size_t k = 0; k < d.thunks.size(); ++k)
            EXPECT_TRUE(m.emplace(d.slot_rva(k), dll + "!" + d.thunks[k].name).second)
                << "two writers for slot 0x" << std::hex << d.slot_rva(k);
    }
    return m;
}

Bytes patch(const Bytes &in, PatchOptions opts = {}) {
    const Analysis a = analyze(in, opts);
    EXPECT_EQ(a.verdict, Verdict::Patchable);
    return build_patched(in, a, opts);
}

// Everything a patched program must satisfy, whatever built it.
void expect_well_patched(const Bytes &in, const Bytes &out) {
    const PeImage before = parse_pe(in), after = parse_pe(out);
    ASSERT_EQ(after.sections.size(), before.sections.size() + 1);
    for (const Section &s : before.sections) {
        ASSERT_LE(size_t(s.raw_ptr) + s.raw_size, out.size()) << s.name;
        EXPECT_TRUE(std::equal(in.begin() + s.raw_ptr, in.begin() + s.raw_ptr + s.raw_size,
                               out.begin() + s.raw_ptr))
            << "section " << s.name << " changed";
    }
    const Section &added = after.sections.back();
    EXPECT_EQ(added.characteristics, 0x40000040u) << "new section must be read-only data";
    EXPECT_EQ(after.size_of_image,
              align_up(uint64_t(added.va) + added.virtual_size, after.section_alignment));
    EXPECT_EQ(after.dirs[kDirImport].rva, added.va);
    EXPECT_EQ(after.dirs[kDirBoundImport].rva, 0u);

    // Same slots and functions, except that waveOutOpen now comes from sndlatch.
    std::map<uint32_t, std::string> expected = slot_map(in);
    for (auto &[slot, fn] : expected)
        if (fn == "winmm.dll!waveOutOpen")
            fn = "sndlatch.dll!sndlatch";
    EXPECT_EQ(slot_map(out), expected);

    const DataDir iat = after.dirs[kDirIat];
    for (const ImportDescriptor &d : read_imports(after)) {
        EXPECT_EQ(d.time_date_stamp, 0u) << d.dll;
        EXPECT_TRUE(d.first_thunk >= iat.rva &&
                    d.slot_rva(d.thunks.size()) <= uint64_t(iat.rva) + iat.size)
            << d.dll << " at 0x" << std::hex << d.first_thunk << " outside IAT 0x" << iat.rva << "+"
            << iat.size;
    }
    EXPECT_EQ(after.checksum, before.checksum ? pe_checksum(out, after.checksum_off()) : 0u);
    if (before.symbol_table_ptr != 0) {
        EXPECT_TRUE(std::equal(in.begin() + before.symbol_table_ptr, in.end(),
                               out.begin() + after.symbol_table_ptr, out.end()))
            << "symbol table not moved intact to " << after.symbol_table_ptr;
    }
}

TEST(Patch, EveryHostComesOutWellPatched) {
    for (const char *name : {"host-first.exe", "host-middle.exe", "host-last.exe",
                             "host-first-s.exe", "host-middle-s.exe", "host-last-s.exe",
                             "host-twodesc.exe", "host-msvc.exe", "host-flat.exe", "hostlib.dll"}) {
        SCOPED_TRACE(name);
        const Bytes in = host(name);
        expect_well_patched(in, patch(in));
    }
    const Bytes in = host("host-middle.exe"); // ld stored a checksum
    EXPECT_EQ(pe_checksum(in, parse_pe(in).checksum_off()), parse_pe(in).checksum);
}

TEST(Patch, AlteredHostsComeOutWellPatched) {
    const struct {
        const char *name;
        const char *host;
        void (*alter)(Bytes &);
    } cases[] = {
        {"two waveOutOpen slots around an ordinary one", "host-middle-s.exe",
         [](Bytes &b) {
             const std::string entry("midiOutGetNumDevs\0", 18); // the import name, not printf's
             const auto it = std::search(b.begin(), b.end(), entry.begin(), entry.end());
             std::memcpy(&*it, "waveOutOpen\0\0\0\0\0\0", 17);
         }},
        {"no IAT directory", "host-msvc.exe",
         [](Bytes &b) { testutil::set_dir(b, kDirIat, 0, 0); }},
        {"IAT directory one slot short", "host-middle-s.exe",
         [](Bytes &b) {
             const DataDir iat = parse_pe(b).dirs[kDirIat];
             testutil::set_dir(b, kDirIat, iat.rva, iat.size - 4);
         }},
        {"no lookup tables, as old linkers made", "host-msvc.exe",
         [](Bytes &b) {
             const PeImage pe = parse_pe(b);
             size_t off = 0;
             for (size_t i = 0;
                  pe.rva_to_offset(uint32_t(pe.dirs[kDirImport].rva + 20 * i), 20, off) &&
                  rd32(b, off + 12) != 0;
                  ++i)
                 wr32(b, off, 0);
         }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Bytes in = host(c.host);
        c.alter(in);
        expect_well_patched(in, patch(in));
    }
}

// An image with a section alignment below a page is mapped flat from the
// file, so the new section's file offset must equal its address. In
// host-flat.exe the last section is longer in memory than in the file, so
// the new section's data must start after padding.
TEST(Patch, FlatImageGetsItsSectionAtTheOffsetEqualToItsAddress) {
    const Bytes in = host("host-flat.exe");
    const PeImage before = parse_pe(in);
    ASSERT_TRUE(mapped_flat(before));
    const Section &last = before.sections.back();
    ASSERT_GT(align_up(last.virtual_size, 0x200), last.raw_size) << "no zero-filled tail";
    const Bytes out = patch(in);
    const PeImage after = parse_pe(out);
    for (const Section &s : after.sections)
        EXPECT_EQ(s.raw_ptr, s.va) << s.name;
    EXPECT_TRUE(std::all_of(out.begin() + ptrdiff_t(in.size()),
                            out.begin() + after.sections.back().raw_ptr,
                            [](uint8_t c) { return c == 0; }));
    EXPECT_NO_THROW(check_loader_layout(after));
}

// Whatever the input, the planned image is checked against the loader's
// layout rules, and one that breaks them is refused, not written.
TEST(Patch, ImagesBreakingTheLoadersRulesAreRefused) {
    const struct {
        const char *name;
        const char *host;
        void (*alter)(Bytes &);
        const char *reason;
    } cases[] = {
        {"gap before the last section", "host-msvc.exe",
         [](Bytes &b) {
             const PeImage pe = parse_pe(b);
             const size_t h = pe.section_table_off + kSectionHeaderSize * (pe.sections.size() - 1);
             wr32(b, h + 12, pe.sections.back().va + 0x1000);
             wr32(b, pe.size_of_image_off(), pe.size_of_image + 0x1000);
         },
         "not right after the previous one"},
        {"flat image with a section elsewhere in the file", "host-flat.exe",
         [](Bytes &b) {
             const PeImage pe = parse_pe(b);
             const size_t h = pe.section_table_off + kSectionHeaderSize * (pe.sections.size() - 1);
             wr32(b, h + 20, pe.sections.back().raw_ptr - 0x200);
         },
         "in a flat-mapped image"},
        {"flat image whose file data runs past its memory", "host-flat.exe",
         [](Bytes &b) {
             const PeImage pe = parse_pe(b);
             const size_t h = pe.section_table_off + kSectionHeaderSize * (pe.sections.size() - 1);
             wr32(b, h + 8, 0x10);
             b.resize(b.size() + 0x400);
             wr32(b, h + 16, pe.sections.back().raw_size + 0x400);
         },
         "mapped flat"},
        {"relocation into the new section's space", "hostlib.dll",
         [](Bytes &b) {
             const PeImage pe = parse_pe(b);
             size_t off = 0;
             pe.rva_to_offset(pe.dirs[kDirBaseReloc].rva, 4, off);
             wr32(b, off, pe.size_of_image);
         },
         "base relocation"},
        {"sndlatch.dll itself", "hostlib.dll",
         [](Bytes &b) {
             const std::string name = "sound_main";
             std::memcpy(&*std::search(b.begin(), b.end(), name.begin(), name.end()), "sndlatch",
                         9);
         },
         "it is sndlatch.dll itself"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Bytes in = host(c.host);
        c.alter(in);
        try {
            const Analysis a = analyze(in, {});
            build_patched(in, a, {});
            ADD_FAILURE() << "patched";
        } catch (const Refusal &r) {
            EXPECT_NE(std::string(r.what()).find(c.reason), std::string::npos) << r.what();
        }
    }
}

TEST(Patch, StripSignatureDropsTrailingCertificate) {
    Bytes in = host("host-middle-s.exe");
    testutil::set_dir(in, kDirSecurity, uint32_t(in.size()), 16);
    in.resize(in.size() + 16, 0xCC);
    PatchOptions strip;
    strip.strip_signature = true;
    const Bytes out = patch(in, strip);
    const PeImage after = parse_pe(out);
    EXPECT_EQ(after.dirs[kDirSecurity].rva + after.dirs[kDirSecurity].size, 0u);
    EXPECT_EQ(out.size(), size_t(after.sections.back().raw_ptr) + after.sections.back().raw_size);
}

// The command line streams the output from the input file; that must give
// exactly what the in-memory build gives, checksum included.
TEST(Patch, StreamedOutputEqualsInMemoryOutput) {
    std::vector<std::pair<std::string, Bytes>> cases;
    for (const char *name :
         {"host-first.exe", "host-middle.exe", "host-last.exe", "host-first-s.exe",
          "host-middle-s.exe", "host-last-s.exe", "host-twodesc.exe", "host-msvc.exe"})
        cases.emplace_back(name, host(name));
    // Several MiB of odd-sized trailing data, so that the copy takes many
    // buffers and the checksum sees pieces of odd length.
    Bytes big = host("host-middle.exe");
    std::mt19937 rng(7);
    for (size_t i = 0; i < (3u << 20) + 3; ++i)
        big.push_back(uint8_t(rng()));
    cases.emplace_back("host-middle.exe with trailing data", big);
    testutil::set_dir(big, kDirSecurity, uint32_t(big.size() - 1003), 1003);
    cases.emplace_back("host-middle.exe with a certificate", big);
    // Section data ending at an odd offset puts the checksum's word
    // boundaries across the pieces of the output.
    const PeImage pe = parse_pe(big);
    for (size_t i = 0; i < pe.sections.size(); ++i) {
        if (pe.sections[i].raw_ptr + pe.sections[i].raw_size == pe.end_of_section_data)
            wr32(big, pe.section_table_off + 40 * i + 16, pe.sections[i].raw_size - 1);
    }
    big[pe.end_of_section_data - 2] = 0x5A;
    cases.emplace_back("host-middle.exe with an odd end of section data", big);

    PatchOptions strip;
    strip.strip_signature = true;
    testutil::TempDir dir;
    for (const auto &[name, in] : cases) {
        SCOPED_TRACE(name);
        const Bytes expected = build_patched(in, analyze(in, strip), strip);
        testutil::write(dir / "in.exe", in);
        std::string error;
        const std::shared_ptr<FileSource> file = FileSource::open(dir / "in.exe", error);
        ASSERT_TRUE(file) << error;
        {
            std::ofstream out(dir / "out.exe", std::ios::binary);
            write_patched(plan_patch(analyze(file, strip), strip), *file, out);
            ASSERT_TRUE(out.good());
        }
        const Bytes streamed = testutil::read(dir / "out.exe");
        EXPECT_TRUE(streamed == expected) << "streamed output differs from the in-memory build";
        const PeImage pe = parse_pe(streamed);
        EXPECT_EQ(pe.checksum,
                  parse_pe(in).checksum ? pe_checksum(streamed, pe.checksum_off()) : 0u);
    }
}

TEST(Patch, ObjdumpReadsPatchedPrograms) {
    for (const char *name : {"host-first.exe", "host-msvc.exe"}) {
        testutil::TempDir dir;
        testutil::write(dir / "p.exe", patch(host(name)));
        FILE *p =
            popen(("i686-w64-mingw32-objdump -p '" + (dir / "p.exe") + "' 2>&1").c_str(), "r");
        ASSERT_NE(p, nullptr);
        std::string text(1 << 20, '\0');
        text.resize(fread(&text[0], 1, text.size(), p));
        if (pclose(p) != 0)
            GTEST_SKIP() << text;
        EXPECT_NE(text.find("DLL Name: sndlatch.dll\n\tvma:  Hint/Ord Member-Name Bound-To\n"),
                  std::string::npos);
        EXPECT_NE(text.find("    0  sndlatch\n"), std::string::npos) << name << ":\n" << text;
    }
}

} // namespace
