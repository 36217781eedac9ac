// --dropin and what --scan says of the drop-ins: the right architecture
// copied, a foreign winmm.dll left alone, and a drop-in of the wrong
// architecture never passed over in silence.
#include "dropin.hpp"
#include "test_util.hpp"

#include <gtest/gtest.h>

#include <sstream>

using namespace sndlatch;
using testutil::cli;
using testutil::has;
using testutil::host;
using testutil::Result;
using testutil::TempDir;

namespace {

Result dropin(const std::string &target, const std::string &release, bool remove = false) {
    std::ostringstream out, err;
    const int code = run_dropin(target, remove, release, out, err);
    return {code, out.str(), err.str()};
}

Bytes dropin_dll(bool bit64) {
    Bytes b = host(bit64 ? "host64.exe" : "hostlib.dll");
    testutil::mark_as_dropin(b, bit64 ? "64-bit" : "32-bit");
    return b;
}

// host-first-s.exe with no waveOutOpen import: a launcher.
Bytes launcher() {
    Bytes b = host("host-first-s.exe");
    const std::string name("waveOutOpen\0", 12);
    b[size_t(std::search(b.begin(), b.end(), name.begin(), name.end()) - b.begin()) + 10] = 'X';
    return b;
}

TEST(DropIn, CopiesTheRightOneRefusesAForeignOneAndRemovesOnlyItsOwn) {
    TempDir dir;
    const std::string release = dir / "release";
    std::filesystem::create_directories(dir.path / "release" / "x64");
    testutil::write(release + "/winmm.dll", dropin_dll(false));
    testutil::write(release + "/x64/winmm.dll", dropin_dll(true));
    for (const char *sub : {"g32", "g64", "foreign", "launcher/sound", "two"})
        std::filesystem::create_directories(dir.path / sub);
    testutil::write(dir / "g32/Game.exe", host("host-first.exe"));
    testutil::write(dir / "g64/Game64.exe", host("host64.exe"));
    testutil::write(dir / "foreign/Game.exe", host("host-first.exe"));
    testutil::write(dir / "foreign/WINMM.DLL", host("hostlib.dll"));
    testutil::write(dir / "launcher/Launch.exe", launcher());
    testutil::write(dir / "launcher/sound/audio.dll", host("host64.exe"));
    testutil::write(dir / "two/a.exe", launcher());
    testutil::write(dir / "two/b.exe", launcher());

    Result r = dropin(dir / "g32/Game.exe", release);
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(testutil::read(dir / "g32/winmm.dll"), dropin_dll(false));
    EXPECT_TRUE(has(r.out, "put the 32-bit drop-in beside")) << r.out;
    EXPECT_TRUE(has(r.out, std::string(kOverrideLine) + "\n")) << r.out;

    // A folder with one program; a wrong drop-in there is replaced.
    testutil::write(dir / "g64/winmm.dll", dropin_dll(false));
    r = dropin(dir / "g64", release);
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(testutil::read(dir / "g64/winmm.dll"), dropin_dll(true));
    EXPECT_TRUE(has(r.out, "(it replaces the 32-bit drop-in that was there)")) << r.out;
    EXPECT_TRUE(has(dropin(dir / "g64", release).out, "already this release's 64-bit drop-in"));

    // A launcher gets the drop-in of the module that opens the device.
    r = dropin(dir / "launcher/Launch.exe", release);
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(has(r.out, "but sound/audio.dll, which opens the sound device, is 64-bit"))
        << r.out;
    EXPECT_EQ(testutil::read(dir / "launcher/winmm.dll"), dropin_dll(true));

    r = dropin(dir / "foreign/Game.exe", release);
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(has(r.err, "WINMM.DLL is already there, and it is a 32-bit DLL that is no "
                           "WINMM.DLL, not sndlatch's drop-in; left alone"))
        << r.err;
    EXPECT_EQ(dropin(dir / "foreign", release, true).code, 1);
    EXPECT_EQ(testutil::read(dir / "foreign/WINMM.DLL"), host("hostlib.dll"));

    EXPECT_EQ(dropin(dir / "two", release).code, 2);
    EXPECT_EQ(dropin(dir / "g32/Game.exe", dir / "nowhere").code, 2);
    EXPECT_EQ(dir.file_count(), 6u) << "a file was left in the test folder";

    r = dropin(dir / "g32/Game.exe", release, true);
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(has(r.out, "removed the 32-bit drop-in")) << r.out;
    EXPECT_FALSE(std::filesystem::exists(dir.path / "g32/winmm.dll"));
    EXPECT_TRUE(has(dropin(dir / "g32", release, true).out, "nothing to remove"));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path / "g32"),
                            std::filesystem::directory_iterator()),
              1);
    EXPECT_EQ(cli({"--remove", dir / "g32"}).code, 2);
}

TEST(DropIn, ScanTellsEachDropInBesideEachKindOfProgram) {
    TempDir dir;
    const struct {
        const char *folder;
        bool program64, dropin64;
    } cases[] = {
        {"a32", false, false}, {"a64", true, true}, {"m32", false, true}, {"m64", true, false}};
    for (const auto &c : cases) {
        std::filesystem::create_directories(dir.path / c.folder);
        testutil::write(dir / (std::string(c.folder) + "/Game.exe"),
                        host(c.program64 ? "host64.exe" : "host-first.exe"));
        testutil::write(dir / (std::string(c.folder) + "/winmm.dll"), dropin_dll(c.dropin64));
    }
    const Result r = cli({"--scan", dir.path.string()});
    EXPECT_EQ(r.code, 0) << r.err;
    for (const char *line : {
             "a32/Game.exe: patchable: imports waveOutOpen by name; the drop-in beside the "
             "program reaches it already\n",
             "a32/winmm.dll: the 32-bit drop-in: this folder already uses it\n",
             "a64/Game.exe: 64-bit: the drop-in beside the program reaches it\n",
             "a64/winmm.dll: the 64-bit drop-in: this folder already uses it\n",
             "m32/Game.exe: patchable: imports waveOutOpen by name\n",
             "m32/winmm.dll: the 64-bit drop-in, for the wrong kind of program: m32/Game.exe is "
             "32-bit (see the warning below)\n",
             "m64/Game.exe: 64-bit: use the 64-bit drop-in winmm.dll (--dropin)\n",
             "8 files: 1 patchable, 0 already patched, 1 needs the drop-in winmm.dll, 2 reached "
             "by the drop-in, 4 left alone, 0 skipped\n",
             "warning: m32/winmm.dll is the 64-bit drop-in, but m32/Game.exe beside it is 32-bit: "
             "the program does not start with it; sndlatch-patch --dropin \"",
             "warning: m64/winmm.dll is the 32-bit drop-in, but m64/Game.exe beside it is 64-bit",
         })
        EXPECT_TRUE(has(r.out, line)) << "no \"" << line << "\" in:\n" << r.out;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 11) << r.out;

    const Result missing = cli({"--scan", dir / "missing"});
    EXPECT_EQ(missing.err, "sndlatch-patch: " + (dir / "missing") + ": no such folder\n");
}

} // namespace
