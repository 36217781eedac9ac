// Reading the test hosts, and surviving damaged input.
#include "patch.hpp"
#include "test_util.hpp"

#include <gtest/gtest.h>

#include <random>

using namespace sndlatch;
using testutil::host;

namespace {

// Linkers sort a DLL's imports by name; the hosts choose their calls so
// that waveOutOpen lands first, in the middle and last.
TEST(Pe, HostsPutWaveOutOpenWhereIntended) {
    const std::pair<const char*, std::vector<std::string>> cases[] = {
        {"host-first-s.exe", {"waveOutOpen", "waveOutReset"}},
        {"host-middle.exe", {"midiOutGetNumDevs", "waveOutGetNumDevs", "waveOutOpen", "waveOutReset"}},
        {"host-last-s.exe", {"midiOutGetNumDevs", "waveOutGetNumDevs", "waveOutOpen"}},
        {"host-msvc.exe", {"midiOutGetNumDevs", "waveOutGetNumDevs", "waveOutOpen", "waveOutReset"}},
    };
    for (const auto& [name, expected] : cases) {
        std::vector<std::string> winmm;
        for (const ImportDescriptor& d : read_imports(parse_pe(host(name))))
            for (const Thunk& t : d.thunks)
                if (is_winmm(d.dll)) winmm.push_back(t.name);
        EXPECT_EQ(winmm, expected) << name;
    }
    const PeImage unstripped = parse_pe(host("host-last.exe"));
    EXPECT_GE(unstripped.symbol_table_ptr, unstripped.end_of_section_data);
}

// Damaged input may be refused or patched, but nothing else: no crash, no
// other exception, and whatever is patched reads back as patched.
void analyze_and_patch(const Bytes& file) {
    try {
        const Analysis a = analyze(file, {});
        if (a.verdict == Verdict::Patchable) {
            EXPECT_EQ(analyze(build_patched(file, a, {}), {}).verdict, Verdict::AlreadyPatched);
        }
    } catch (const Refusal&) {
    }
}

TEST(Pe, DamagedInputIsRefusedNotCrashed) {
    std::mt19937 rng(1234);
    for (const char* name : {"host-msvc.exe", "host-middle-s.exe"}) {
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
                if (at < bad.size()) bad[at] = uint8_t(rng());
            }
            analyze_and_patch(bad);
        }
    }
}

}  // namespace
