// The command line: options, which files are written or left alone, exit
// codes, and every refusal.
#include "cli.hpp"
#include "patch.hpp"
#include "test_util.hpp"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <iostream>
#include <sstream>

using namespace sndlatch;
using testutil::cli;
using testutil::has;
using testutil::host;
using testutil::Result;
using testutil::TempDir;

namespace {

Bytes patch_bytes(const Bytes &b) {
    return build_patched(b, analyze(b, {}), {});
}
bool is_patched(const Bytes &b) {
    return analyze(b, {}).verdict == Verdict::AlreadyPatched;
}

TEST(Cli, HelpVersionAndUsageErrors) {
    const Result help = cli({"--help"});
    EXPECT_EQ(help.code, 0);
    for (const char *part :
         {"--check", "-o OUT", "--restore", "--strip-signature", ".orig.1", "Exit codes", "Example",
          "--scan FOLDER", "DLL", "--dropin [--remove]"})
        EXPECT_TRUE(has(help.out, part)) << "help lacks " << part << ":\n" << help.out;
    EXPECT_EQ(cli({"--version"}).out, std::string("sndlatch-patch ") + SNDLATCH_VERSION + "\n");

    for (const std::vector<std::string> &args :
         std::vector<std::vector<std::string>>{{},
                                               {"--bogus", "a.exe"},
                                               {"a.exe", "b.exe"},
                                               {"-o"},
                                               {"-o", "", "a.exe"},
                                               {"--restore", "-o", "x", "a.exe"},
                                               {"--check", "-o", "x", "a.exe"}}) {
        const Result r = cli(args);
        EXPECT_EQ(r.code, 2) << ::testing::PrintToString(args);
        EXPECT_TRUE(has(r.err, "usage:")) << r.err;
    }
    EXPECT_EQ(cli({"/nonexistent/h.exe"}).code, 2);
}

TEST(Cli, OutputOptionLeavesTheHostAlone) {
    TempDir dir;
    const Bytes original = host("host-last.exe");
    testutil::write(dir / "h.exe", original);
    const Result r = cli({"-o", dir / "out.exe", dir / "h.exe"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(is_patched(testutil::read(dir / "out.exe")));
    EXPECT_EQ(testutil::read(dir / "h.exe"), original);
    EXPECT_EQ(dir.file_count(), 2u) << "no .orig or temporary file expected";
    EXPECT_TRUE(has(r.err, "warning: sndlatch.dll is not in")) << r.err;

    testutil::write(dir / "SndLatch.DLL", Bytes{1}); // any case will do, as on Windows
    EXPECT_EQ(cli({"-o", dir / "out2.exe", dir / "h.exe"}).err, "");

    EXPECT_EQ(cli({"-o", dir / "no/such/dir/x.exe", dir / "h.exe"}).code, 2);
    EXPECT_EQ(dir.file_count(), 4u);
}

TEST(Cli, CheckThenPatchInPlaceThenRestoreByteForByte) {
    TempDir dir;
    const std::string h = dir / "h.exe", orig = h + ".orig";
    const Bytes original = host("host-first.exe");
    testutil::write(h, original);

    const Result check = cli({"--check", h});
    EXPECT_TRUE(has(check.out, "can be patched (1 waveOutOpen import")) << check.out << check.err;
    EXPECT_EQ(dir.file_count(), 1u);
    EXPECT_EQ(cli({h}).code, 0);
    EXPECT_EQ(testutil::read(orig), original);
    const Bytes patched = testutil::read(h);
    EXPECT_TRUE(is_patched(patched));

    const Result again = cli({h});
    EXPECT_EQ(again.code, 0) << again.err;
    EXPECT_TRUE(has(again.out, "already patched")) << again.out;
    EXPECT_EQ(testutil::read(h), patched);
    EXPECT_TRUE(has(cli({"--check", h}).out, "already patched"));

    EXPECT_EQ(cli({"--restore", h}).code, 0);
    EXPECT_EQ(testutil::read(h), original);
    EXPECT_EQ(dir.file_count(), 1u);
    const Result twice = cli({"--restore", h});
    EXPECT_EQ(twice.code, 0) << "nothing to undo";
    EXPECT_EQ(twice.out, h + " is not patched (it does not use sndlatch.dll), and there is no " +
                             orig + "; nothing to restore\n");

    // An existing .orig is never overwritten: a different one is moved aside.
    testutil::write(orig, Bytes{'k', 'e', 'e', 'p'});
    EXPECT_EQ(cli({h}).code, 0);
    EXPECT_EQ(testutil::read(orig + ".1"), (Bytes{'k', 'e', 'e', 'p'}));
}

TEST(Cli, OrigKeepsEachVersionAndRestoreUndoesOnlyItsOwnPatch) {
    TempDir dir;
    const std::string h = dir / "h.exe", orig = h + ".orig";
    const Bytes v1 = host("host-first.exe"), v2 = host("host-last.exe"),
                v3 = host("host-middle.exe");
    Result r;
    for (const Bytes *update : {&v1, &v2, &v3}) { // patched, then updated and patched again
        testutil::write(h, *update);
        r = cli({h});
        EXPECT_EQ(r.code, 0) << r.err;
    }
    EXPECT_TRUE(has(r.out, "the older one as " + orig + ".2")) << r.out;
    EXPECT_EQ(testutil::read(orig), v3);
    EXPECT_EQ(testutil::read(orig + ".1"), v1);
    EXPECT_EQ(testutil::read(orig + ".2"), v2);
    const Bytes patched = testutil::read(h);
    testutil::write(h, v3); // a .orig that already holds the program is kept
    EXPECT_TRUE(has(cli({h}).out, "already kept as " + orig));
    EXPECT_EQ(testutil::read(h), patched);
    EXPECT_EQ(dir.file_count(), 4u);

    // --restore refuses a program that is not the patched form of the .orig.
    for (const Bytes &changed : {v2, Bytes{'x'}}) {
        testutil::write(h, changed);
        r = cli({"--restore", h});
        EXPECT_EQ(r.code, 1) << r.out << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_EQ(testutil::read(h), changed);
        EXPECT_EQ(testutil::read(orig), v3);
    }
    // A program that is its original again (a store's "verify files").
    testutil::write(h, v3);
    r = cli({"--restore", h});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(has(r.out, h + " is already the original")) << r.out;
    EXPECT_EQ(testutil::read(orig), v3);
    testutil::write(h, patched);
    EXPECT_EQ(cli({"--restore", h}).code, 0);
    EXPECT_EQ(testutil::read(h), v3);

    // A folder where the .orig goes: nothing is patched.
    std::filesystem::create_directory(orig);
    r = cli({h});
    EXPECT_EQ(r.code, 2) << r.out;
    EXPECT_TRUE(has(r.err, orig + " is not a file")) << r.err;
    EXPECT_EQ(testutil::read(h), v3);
    EXPECT_EQ(dir.file_count(), 4u);

    // A signed program patched with --strip-signature can be restored.
    Bytes signed_host = host("host-middle-s.exe");
    testutil::set_dir(signed_host, kDirSecurity, uint32_t(signed_host.size()), 8);
    signed_host.resize(signed_host.size() + 8);
    testutil::write(dir / "s.exe", signed_host);
    EXPECT_EQ(cli({"--strip-signature", dir / "s.exe"}).code, 0);
    r = cli({"--restore", dir / "s.exe"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(testutil::read(dir / "s.exe"), signed_host);
}

TEST(Cli, OutputIsNeverTheHostAndCopiesAPatchedOne) {
    TempDir dir;
    const std::string h = dir / "h.exe";
    const Bytes original = host("host-last.exe");
    testutil::write(h, original);
    std::filesystem::create_symlink("h.exe", dir / "link.exe");
    std::filesystem::create_hard_link(h, dir / "hard.exe");
    for (const std::string &same : {h, dir / "./h.exe", dir / "link.exe", dir / "hard.exe"}) {
        const Result r = cli({"-o", same, h});
        EXPECT_EQ(r.code, 2) << same;
        EXPECT_TRUE(has(r.err, "itself")) << r.err;
        EXPECT_EQ(testutil::read(h), original);
    }
    EXPECT_EQ(dir.file_count(), 3u);

    ASSERT_EQ(cli({h}).code, 0);
    const Result r = cli({"-o", dir / "out.exe", h});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(has(r.out, "; wrote " + dir / "out.exe" + " as a copy")) << r.out;
    EXPECT_EQ(testutil::read(dir / "out.exe"), testutil::read(h));
}

TEST(Cli, SymbolicLinkStaysALink) {
    TempDir dir;
    std::filesystem::create_directory(dir / "real");
    const std::string h = dir / "h.exe", real = dir / "real/r.exe";
    const Bytes original = host("host-first.exe");
    testutil::write(real, original);
    std::filesystem::create_symlink("real/r.exe", h);

    EXPECT_EQ(cli({h}).code, 0);
    EXPECT_TRUE(std::filesystem::is_symlink(h));
    EXPECT_TRUE(is_patched(testutil::read(real)));
    EXPECT_EQ(testutil::read(real + ".orig"), original);
    const Result r = cli({"--restore", h});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(std::filesystem::is_symlink(h));
    EXPECT_EQ(testutil::read(real), original);
    EXPECT_EQ(dir.file_count(), 2u);
}

// A replacement that fails at its last step, as it does on Windows for a
// running or read-only program: here the program turns into a folder while
// the new one is written. The former .orig must come back, nothing be left.
TEST(Files, FailedReplaceLeavesEverythingAsItWas) {
    TempDir dir;
    const std::string h = dir / "h.exe";
    const Bytes older{'o', 'l', 'd'};
    testutil::write(h, Bytes{'n', 'e', 'w'});
    testutil::write(h + ".orig", older);
    std::string error;
    const std::shared_ptr<FileSource> current = FileSource::open(h, error);
    KeptOrig kept;
    RunLock lock;
    const Writer swap_for_folder = [&](std::ostream &out) {
        out << "patched";
        std::filesystem::remove(h);
        std::filesystem::create_directories(h + "/in-the-way");
    };
    EXPECT_FALSE(replace_keeping_orig(h, *current, lock, swap_for_folder, kept, error));
    EXPECT_TRUE(has(error, "cannot replace " + h)) << error;
    EXPECT_EQ(testutil::read(h + ".orig"), older);
    EXPECT_EQ(dir.file_count(), 2u) << "a temporary file or .orig.1 was left";

    // Natively a folder that cannot be written to is the nearest case.
    if (geteuid() == 0) {
        std::cout << "[ SKIPPED ] read-only folder: root writes to it anyway\n";
        return;
    }
    testutil::write(dir / "p.exe", host("host-first.exe"));
    std::filesystem::permissions(dir.path, std::filesystem::perms::owner_write,
                                 std::filesystem::perm_options::remove);
    const Result r = cli({dir / "p.exe"});
    std::filesystem::permissions(dir.path, std::filesystem::perms::owner_write,
                                 std::filesystem::perm_options::add);
    EXPECT_EQ(r.code, 2) << r.out;
    EXPECT_EQ(dir.file_count(), 3u);
}

size_t find(const Bytes &b, const std::string &s) {
    return size_t(std::search(b.begin(), b.end(), s.begin(), s.end()) - b.begin());
}

uint32_t offset_to_rva(const Bytes &b, size_t off) {
    for (const Section &s : parse_pe_any(std::make_shared<BytesSource>(b)).sections)
        if (off >= s.raw_ptr && off < size_t(s.raw_ptr) + s.raw_size)
            return uint32_t(off - s.raw_ptr + s.va);
    return uint32_t(off);
}

void or16(Bytes &b, size_t off, uint16_t bits) {
    wr16(b, off, rd16(b, off) | bits);
}

const std::string kWaveOutOpen("waveOutOpen\0", 12);

// Changes to host-middle-s.exe that must each be refused with `reason`.
const struct {
    const char *name;
    void (*damage)(Bytes &);
    const char *reason;
} kRefusals[] = {
    {"text file",
     [](Bytes &b) {
         b.assign({'h', 'i'});
     },
     "not a Windows program"},
    {"MS-DOS program",
     [](Bytes &b) {
         b.resize(0x200);
         wr32(b, 0x3c, 0x100);
     },
     "not a PE program"},
    {"PE32+", [](Bytes &b) { wr16(b, testutil::opt(b), 0x20b); }, "64-bit (PE32+)"},
    {"DLL exporting sndlatch",
     [](Bytes &b) {
         or16(b, testutil::opt(b) - 2, kFileDll);
         const uint32_t dir = uint32_t(parse_pe(b).section_table_end() + 0x40); // unused space
         wr32(b, dir + 24, 1);                                                  // one name
         wr32(b, dir + 32, dir + 40);                                           // its pointer
         wr32(b, dir + 40, dir + 44);
         std::memcpy(&b[dir + 44], "sndlatch", 9);
         testutil::set_dir(b, kDirExport, dir, 53);
     },
     "it is sndlatch.dll itself"},
    {".NET", [](Bytes &b) { testutil::set_dir(b, kDirClr, 0x1000, 0x48); }, ".NET program"},
    {"FORCE_INTEGRITY", [](Bytes &b) { or16(b, testutil::opt(b) + 70, kDllCharForceIntegrity); },
     "FORCE_INTEGRITY"},
    {"UPX", [](Bytes &b) { std::memcpy(&b[parse_pe(b).section_table_off], "UPX0", 4); },
     "unpack it first"},
    {"signed",
     [](Bytes &b) {
         testutil::set_dir(b, kDirSecurity, uint32_t(b.size()), 8);
         b.resize(b.size() + 8);
     },
     "--strip-signature"},
    {"no waveOutOpen", [](Bytes &b) { b[find(b, kWaveOutOpen) + 10] = 'X'; },
     "does not import waveOutOpen"},
    {"by ordinal",
     [](Bytes &b) {
         const uint32_t hint_name = offset_to_rva(b, find(b, kWaveOutOpen)) - 2;
         for (size_t i = 0; i + 4 <= b.size(); i += 4)
             if (rd32(b, i) == hint_name)
                 wr32(b, i, 0x80000002u);
     },
     "by ordinal"},
    {"delay-loaded WINMM",
     [](Bytes &b) {
         const size_t desc = parse_pe(b).section_table_end() + 0x80; // unused header space
         wr32(b, desc, 1);
         wr32(b, desc + 4, offset_to_rva(b, find(b, "WINMM.dll")));
         testutil::set_dir(b, kDirDelayImport, uint32_t(desc), 64);
     },
     "delay-load"},
    {"bound, no lookup table",
     [](Bytes &b) {
         size_t first = 0;
         parse_pe(b).rva_to_offset(parse_pe(b).dirs[kDirImport].rva, 20, first);
         wr32(b, first, 0);              // no lookup table...
         wr32(b, first + 4, 0x12345678); // ...yet bound
     },
     "are bound"},
    {"truncated", [](Bytes &b) { b.resize(0x300); }, "truncated"},
    {"section past the end",
     [](Bytes &b) { wr32(b, parse_pe(b).section_table_off + 20, 0x7FFFFF00); }, "truncated"},
    {"too many sections", [](Bytes &b) { wr16(b, rd32(b, 0x3c) + 6, 500); }, "inconsistent"},
    {"bad alignment", [](Bytes &b) { wr32(b, testutil::opt(b) + 36, 0x300); }, "alignment"},
    {"imports outside file", [](Bytes &b) { testutil::set_dir(b, kDirImport, 0x7FFFFF00, 40); },
     "outside the file"},
    {"headers full", [](Bytes &b) { b[parse_pe(b).section_table_end() + 3] = 1; },
     "no room for one more section"},
};

TEST(Cli, RefusalsLeaveEverythingUntouched) {
    for (const auto &c : kRefusals) {
        SCOPED_TRACE(c.name);
        Bytes bad = host("host-middle-s.exe");
        c.damage(bad);
        TempDir dir;
        const std::string h = dir / "h.exe";
        testutil::write(h, bad);

        EXPECT_EQ(cli({"--check", h}).code, 1);
        EXPECT_EQ(cli({"-o", dir / "o.exe", h}).code, 1);
        const Result r = cli({h});
        EXPECT_EQ(r.code, 1) << r.out;
        EXPECT_TRUE(has(r.err, c.reason)) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        // What the drop-in overcomes, the refusal says.
        const std::set<std::string> dropin_solves = {
            "FORCE_INTEGRITY",    "UPX",         "signed", "no waveOutOpen", "by ordinal",
            "delay-loaded WINMM", "headers full"};
        EXPECT_EQ(has(r.err, "drop-in winmm.dll"), dropin_solves.count(c.name) == 1) << r.err;
        EXPECT_EQ(testutil::read(h), bad);
        EXPECT_EQ(dir.file_count(), 1u) << "a refusal left a file behind";
    }
    // With --strip-signature a signed program goes through.
    TempDir dir;
    Bytes signed_host = host("host-middle-s.exe");
    kRefusals[7].damage(signed_host);
    testutil::write(dir / "h.exe", signed_host);
    EXPECT_EQ(cli({"--strip-signature", dir / "h.exe"}).code, 0);
}

// host-msvc.exe with `extra` more copies of its KERNEL32 descriptor ahead
// of its own. The patch splits WINMM's descriptor in three, so with 4093
// copies the program is read but its patched table would not be.
Bytes many_descriptors(size_t extra) {
    Bytes b = host("host-msvc.exe");
    const PeImage pe = parse_pe(b);
    size_t off = 0;
    pe.rva_to_offset(pe.dirs[kDirImport].rva, 1, off);
    const size_t own = kImportDescSize * (read_imports(pe).size() + 1);
    Bytes table;
    for (size_t i = 0; i < extra; ++i)
        table.insert(table.end(), b.begin() + ptrdiff_t(off),
                     b.begin() + ptrdiff_t(off + kImportDescSize));
    table.insert(table.end(), b.begin() + ptrdiff_t(off), b.begin() + ptrdiff_t(off + own));
    testutil::set_dir(b, kDirImport, testutil::grow_last_section(b, table), uint32_t(table.size()));
    return b;
}

// "can be patched" must be followed by a successful patch: --check makes
// the whole plan, layout checks included.
// A 64-bit module is never patched. One that opens the device, by name, by
// ordinal or at run time, is named as one for the 64-bit drop-in, by --scan
// and by --check; one that does not is left alone like a 32-bit one.
TEST(Cli, A64BitModuleThatOpensTheDeviceIsSentToThe64BitDropin) {
    TempDir dir;
    const Bytes opens = host("host64.exe");
    Bytes ordinal = opens, lookup = opens, plain = opens;
    const uint32_t hint_name = offset_to_rva(ordinal, find(ordinal, kWaveOutOpen)) - 2;
    for (size_t i = 0; i + 8 <= ordinal.size(); i += 8)
        if (rd32(ordinal, i) == hint_name && rd32(ordinal, i + 4) == 0) {
            wr32(ordinal, i, 2);
            wr32(ordinal, i + 4, 0x80000000u);
        }
    const std::string name = "...waveOutOpen...";
    plain[find(plain, kWaveOutOpen) + 10] = 'X';
    lookup[find(lookup, kWaveOutOpen) + 10] = 'X';
    // Any import named GetProcAddress counts; this one is renamed in place
    // (lld-link writes the name twice).
    for (size_t at; (at = find(lookup, "midiOutGetNumDevs")) < lookup.size();)
        std::memcpy(&lookup[at], "GetProcAddress", 15);
    lookup.insert(lookup.end(), name.begin(), name.end());
    const std::pair<const char *, Bytes> files[] = {{"lookup64.exe", lookup},
                                                    {"opens64.exe", opens},
                                                    {"ordinal64.exe", ordinal},
                                                    {"plain64.exe", plain}};
    for (const auto &[file, bytes] : files)
        testutil::write(dir / file, bytes);

    const Result scan = cli({"--scan", dir.path.string()});
    EXPECT_EQ(scan.code, 0) << scan.err;
    for (const char *line : {"lookup64.exe: 64-bit: use the 64-bit drop-in winmm.dll (--dropin)\n",
                             "opens64.exe: 64-bit: use the 64-bit drop-in winmm.dll (--dropin)\n",
                             "ordinal64.exe: 64-bit: use the 64-bit drop-in winmm.dll (--dropin)\n",
                             "plain64.exe: does not use waveOutOpen\n",
                             "4 files: 0 patchable, 0 already patched, 3 need the drop-in"})
        EXPECT_TRUE(has(scan.out, line)) << "no \"" << line << "\" in:\n" << scan.out;

    for (const char *file : {"opens64.exe", "ordinal64.exe"}) {
        for (const char *mode : {"--check", ""}) {
            std::vector<std::string> args{dir / file};
            if (*mode)
                args.insert(args.begin(), mode);
            const Result r = cli(args);
            EXPECT_EQ(r.code, kExitRefused) << file << " " << mode;
            EXPECT_TRUE(has(r.err, std::string(file) +
                                       ": cannot be patched: 64-bit: use the 64-bit drop-in "
                                       "winmm.dll (--dropin)\n"))
                << r.err;
        }
    }
    const Result r = cli({"--check", dir / "plain64.exe"});
    EXPECT_EQ(r.code, kExitRefused);
    EXPECT_TRUE(has(r.err, "it is a 64-bit (PE32+) program; only 32-bit programs can be patched"))
        << r.err;
    for (const auto &[file, bytes] : files)
        EXPECT_EQ(testutil::read(dir / file), bytes) << file;
    EXPECT_EQ(dir.file_count(), 4u) << "a file was written";
}

TEST(Cli, CheckAgreesWithPatching) {
    Bytes gap = host("host-msvc.exe");
    const PeImage pe = parse_pe(gap);
    wr32(gap, pe.section_table_off + kSectionHeaderSize * (pe.sections.size() - 1) + 12,
         pe.sections.back().va + 0x1000);
    const std::pair<const char *, Bytes> cases[] = {
        {"4095 descriptors", many_descriptors(4093)},
        {"4094 descriptors", many_descriptors(4092)},
        {"a gap before the last section", gap},
    };
    for (const auto &[name, in] : cases) {
        SCOPED_TRACE(name);
        TempDir dir;
        testutil::write(dir / "h.exe", in);
        const Result check = cli({"--check", dir / "h.exe"});
        const Result patch = cli({dir / "h.exe"});
        EXPECT_EQ(check.code, patch.code) << check.out << check.err << patch.out << patch.err;
        EXPECT_EQ(check.code, 1) << check.out;
        EXPECT_EQ(testutil::read(dir / "h.exe"), in);
        EXPECT_EQ(dir.file_count(), 1u);
    }
}

// host-middle-s.exe importing waveOutClose in place of waveOutReset.
Bytes closing_host() {
    Bytes b = host("host-middle-s.exe");
    const std::string reset("waveOutReset\0", 13);
    std::memcpy(&b[find(b, reset)], "waveOutClose", 12);
    return b;
}

TEST(Cli, SoundLibrariesAndTheCloseNote) {
    TempDir dir;
    const std::string lib = dir / "hostlib.dll";
    const Bytes original = host("hostlib.dll");
    testutil::write(lib, original);
    EXPECT_TRUE(has(cli({"--check", lib}).out, "can be patched"));
    const Result r = cli({lib});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(has(r.err, "copy sndlatch.dll beside the program's .exe (the loader")) << r.err;
    EXPECT_FALSE(has(r.out, "note:")) << r.out;
    EXPECT_EQ(testutil::read(lib + ".orig"), original);
    EXPECT_TRUE(is_patched(testutil::read(lib)));
    EXPECT_EQ(cli({"--restore", lib}).code, 0);
    EXPECT_EQ(testutil::read(lib), original);

    const std::string h = dir / "h.exe";
    testutil::write(h, closing_host());
    for (const std::vector<std::string> &args :
         std::vector<std::vector<std::string>>{{"--check", h}, {h}, {"--check", h}}) {
        const Result c = cli(args);
        EXPECT_EQ(c.code, 0) << c.err;
        EXPECT_EQ(std::count(c.out.begin(), c.out.end(), '\n'), 2) << c.out;
        EXPECT_TRUE(has(c.out, "note: " + h + ": it also imports waveOutClose")) << c.out;
    }
}

// The messages a user meets when something is off: each says what to do.
TEST(Cli, MessagesLeadSomewhere) {
    EXPECT_EQ(cli({"-v"}).out, std::string("sndlatch-patch ") + SNDLATCH_VERSION + "\n");
    for (const char *help : {"-h", "/?"}) {
        const Result r = cli({help});
        EXPECT_EQ(r.code, 0) << help;
        EXPECT_TRUE(has(r.out, "usage:")) << help << ": " << r.out;
    }

    TempDir dir;
    const std::string folder = dir.path.string();
    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
             {folder}, {"--check", folder}, {"--restore", folder}}) {
        const Result r = cli(args);
        EXPECT_EQ(r.code, 2);
        EXPECT_TRUE(has(r.err, folder +
                                   " is a folder, not a program; to see which of its files "
                                   "to patch: sndlatch-patch --scan \"" +
                                   folder + "\""))
            << r.err;
    }

    // I/O errors: the system's reason, and the user's file, never a temporary one.
    const std::string h = dir / "h.exe", missing = dir / "missing.exe";
    testutil::write(h, host("host-first.exe"));
    Result r = cli({missing});
    EXPECT_EQ(r.code, 2);
    EXPECT_TRUE(has(r.err, missing + ": cannot open it: no such file or directory")) << r.err;
    r = cli({"-o", dir / "no/out.exe", h});
    EXPECT_EQ(r.code, 2);
    EXPECT_TRUE(has(r.err, "cannot write " + (dir / "no/out.exe") + ": ")) << r.err;
    EXPECT_TRUE(has(r.err, "no such file or directory")) << r.err;
    EXPECT_FALSE(has(r.err, "sndlatch-tmp")) << r.err;

    // --restore on a patched program whose original is gone.
    EXPECT_EQ(cli({h}).code, 0);
    std::filesystem::remove(h + ".orig");
    r = cli({"--restore", h});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(has(r.err, "is patched, but its original " + h + ".orig is missing")) << r.err;

    // The missing sndlatch.dll is named by its real folder, not ".".
    const std::string here = std::filesystem::current_path().string();
    ASSERT_EQ(chdir(folder.c_str()), 0);
    r = cli({"-o", "p.exe", "h.exe"});
    ASSERT_EQ(chdir(here.c_str()), 0);
    EXPECT_TRUE(has(r.err, "sndlatch.dll is not in " + folder + ";")) << r.err;

    // A sound library in a subfolder: sndlatch.dll goes beside the .exe.
    std::filesystem::create_directories(dir.path / "game" / "audio");
    testutil::write(dir / "game/Game.exe", host("host-first.exe"));
    testutil::write(dir / "game/audio/snd.dll", host("hostlib.dll"));
    r = cli({dir / "game/audio/snd.dll"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(has(r.err, "copy sndlatch.dll into " + (dir / "game") +
                               ", beside the program's .exe (the loader looks for it there, "
                               "not beside " +
                               (dir / "game/audio/snd.dll") + ")"))
        << r.err;
    testutil::write(dir / "game/sndlatch.dll", Bytes{1});
    EXPECT_EQ(cli({"-o", dir / "game/audio/snd2.dll", dir / "game/audio/snd.dll.orig"}).err, "");
}

// --check tries what patching in place needs: in a folder that cannot be
// written the program cannot be patched, and --check says so. Root writes
// anywhere, so as root the check runs as the user nobody.
TEST(Cli, CheckSaysWhenTheFolderCannotBeWritten) {
    TempDir dir;
    const std::string h = dir / "h.exe";
    testutil::write(h, host("host-first.exe"));
    namespace fs = std::filesystem;
    fs::permissions(dir.path, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                  fs::perms::others_read | fs::perms::others_exec);
    Result r{-1, "", ""};
    if (geteuid() == 0) {
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        const pid_t pid = fork();
        if (pid == 0) {
            close(fds[0]);
            if (setgid(65534) != 0 || setuid(65534) != 0)
                _exit(3);
            const Result c = cli({"--check", h});
            const std::string text = std::to_string(c.code) + "\n" + c.err;
            _exit(write(fds[1], text.data(), text.size()) == ssize_t(text.size()) ? 0 : 4);
        }
        close(fds[1]);
        std::string text;
        char buffer[4096];
        for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;)
            text.append(buffer, size_t(n));
        close(fds[0]);
        int status = 0;
        waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        r.code = std::stoi(text);
        r.err = text.substr(text.find('\n') + 1);
    } else {
        fs::permissions(dir.path, fs::perms::owner_write, fs::perm_options::remove);
        r = cli({"--check", h});
        fs::permissions(dir.path, fs::perms::owner_write, fs::perm_options::add);
    }
    EXPECT_EQ(r.code, 1) << r.err;
    EXPECT_EQ(r.err, "sndlatch-patch: " + h +
                         ": cannot be patched in place: cannot create a file in its folder: "
                         "permission denied (-o writes the patched program elsewhere)\n");
    EXPECT_EQ(dir.file_count(), 1u);
}

TEST(Cli, ScanSaysHowEachModuleGetsWaveOutOpen) {
    TempDir dir;
    std::filesystem::create_directories(dir.path / "game" / "sound");
    const Bytes middle = host("host-middle-s.exe");
    Bytes plain = middle, lookup = middle, ordinal = middle, delayed = middle;
    kRefusals[8].damage(plain);
    kRefusals[8].damage(lookup);
    const std::string name = "...waveOutOpen...";
    lookup.insert(lookup.end(), name.begin(), name.end());
    kRefusals[9].damage(ordinal);
    kRefusals[10].damage(delayed);
    Bytes own = host("hostlib.dll");
    std::memcpy(&own[find(own, "sound_main")], "sndlatch", 9);
    const std::pair<const char *, Bytes> files[] = {
        {"game/Game.EXE", middle},
        {"game/sound/hostlib.Dll", host("hostlib.dll")},
        {"game/sound/closes.dll", closing_host()},
        {"done.exe", patch_bytes(host("host-first.exe"))},
        {"ordinal.exe", ordinal},
        {"delay.exe", delayed},
        {"lookup.exe", lookup},
        {"plain.exe", plain},
        {"sndlatch.dll", own},
        {"text.dll", Bytes{'h', 'i'}},
        {"game/readme.txt", middle},
    };
    for (const auto &[file, bytes] : files)
        testutil::write(dir / file, bytes);

    const Result r = cli({"--scan", dir.path.string()});
    EXPECT_EQ(r.code, 0) << r.err;
    const char *const expected[] = {
        "delay.exe: delay-loads WINMM.DLL: use the drop-in winmm.dll (--dropin)\n",
        "done.exe: already patched\n",
        "game/Game.EXE: patchable: imports waveOutOpen by name\n",
        "game/sound/closes.dll: patchable: imports waveOutOpen by name; note: it also imports "
        "waveOutClose",
        "game/sound/hostlib.Dll: patchable",
        "lookup.exe: looks up waveOutOpen at run time (GetProcAddress): use the drop-in",
        "ordinal.exe: imports WINMM.DLL by ordinal: use the drop-in winmm.dll (--dropin)\n",
        "plain.exe: does not use waveOutOpen\n",
        "sndlatch.dll: sndlatch.dll itself or a copy; never patched\n",
        "text.dll: skipped (not a Windows program",
        "10 files: 3 patchable, 1 already patched, 3 need the drop-in winmm.dll, 2 left alone, "
        "1 skipped\n",
    };
    size_t at = 0;
    for (const char *line : expected) {
        const size_t found = r.out.find(line, at);
        EXPECT_NE(found, std::string::npos) << "no \"" << line << "\" in order in:\n" << r.out;
        at = found == std::string::npos ? at : found;
    }
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 11) << r.out;
    for (const auto &[file, bytes] : files)
        EXPECT_EQ(testutil::read(dir / file), bytes) << file;
    EXPECT_EQ(dir.file_count(), 8u) << "the scan left a file behind";

    // sndlatch's own drop-in, both ways in one folder, a patched program
    // without sndlatch.dll, and one file.
    TempDir more;
    std::filesystem::create_directories(more.path / "both");
    std::filesystem::create_directories(more.path / "lone");
    Bytes dropin = host("host-middle-s.exe");
    kRefusals[8].damage(dropin); // imports no waveOutOpen
    kRefusals[3].damage(dropin); // a DLL exporting "sndlatch", renamed below
    std::memcpy(&dropin[find(dropin, std::string("sndlatch\0", 9))], "waveOutOpen", 12);
    testutil::set_dir(dropin, kDirExport, parse_pe(dropin).dirs[kDirExport].rva, 57);
    testutil::mark_as_dropin(dropin, "32-bit");
    testutil::write(more / "both/Game.exe", patch_bytes(host("host-first.exe")));
    testutil::write(more / "both/winmm.dll", dropin);
    testutil::write(more / "both/sndlatch.dll", own);
    testutil::write(more / "lone/Lone.exe", patch_bytes(host("host-first.exe")));
    const Result m = cli({"--scan", more.path.string()});
    EXPECT_TRUE(has(m.out, "both/Game.exe: already patched\n")) << m.out;
    EXPECT_TRUE(has(m.out, "both/winmm.dll: the 32-bit drop-in: this folder already uses it\n"))
        << m.out;
    EXPECT_TRUE(has(m.out, "lone/Lone.exe: already patched; but sndlatch.dll is not in lone, "
                           "beside the program's .exe: copy it there"))
        << m.out;
    EXPECT_TRUE(has(m.out, "warning: both uses both the drop-in winmm.dll and the patch "
                           "(both/Game.exe); use one or the other"))
        << m.out;
    const Result one = cli({"--scan", (more.path / "lone").string()});
    EXPECT_TRUE(has(one.out, "1 file: 0 patchable, 1 already patched, 0 need")) << one.out;

    EXPECT_EQ(cli({"--scan", dir / "missing"}).code, 2);
    EXPECT_EQ(cli({"--scan", dir / "plain.exe"}).code, 2);
    EXPECT_EQ(cli({"--scan", "-o", "x", dir.path.string()}).code, 2);
}

} // namespace
