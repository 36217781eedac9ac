// Files on disk under pressure: two runs on one program at once, leftovers
// of a killed run, -o onto something that is not a file, and --scan over
// folders it cannot read.
#include "cli.hpp"
#include "patch.hpp"
#include "test_util.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <iostream>
#include <sstream>

using namespace sndlatch;
using testutil::cli;
using testutil::has;
using testutil::host;
using testutil::Result;
using testutil::TempDir;

namespace {

// Runs the tool in `n` child processes at once, all released together;
// returns their exit codes.
std::vector<int> at_once(const std::vector<std::string> &args, int n = 2) {
    int go[2];
    if (pipe(go) != 0)
        return {};
    std::vector<pid_t> children;
    for (int i = 0; i < n; ++i) {
        const pid_t pid = fork();
        if (pid == 0) {
            close(go[1]);
            char c;
            (void)!read(go[0], &c, 1); // returns when the parent closes its end
            _exit(cli(args).code);
        }
        children.push_back(pid);
    }
    close(go[0]);
    close(go[1]);
    std::vector<int> codes;
    for (const pid_t pid : children) {
        int status = 0;
        waitpid(pid, &status, 0);
        codes.push_back(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    }
    return codes;
}

// A host made big with data after its last section, so that writing it
// takes long enough for two runs to overlap.
Bytes big_host(const char *name, size_t size) {
    Bytes b = host(name);
    b.resize(size, 0x5a);
    return b;
}

TEST(TwoRuns, OnOneProgramKeepTheOriginal) {
    const Bytes original = big_host("host-first.exe", 4 << 20);
    for (int round = 0; round < 16; ++round) {
        SCOPED_TRACE(round);
        TempDir dir;
        const std::string h = dir / "h.exe";
        testutil::write(h, original);
        const std::vector<int> codes = at_once({h});
        EXPECT_EQ(codes, (std::vector<int>{0, 0}));
        EXPECT_EQ(testutil::read(h + ".orig"), original);
        EXPECT_EQ(analyze(testutil::read(h), {}).verdict, Verdict::AlreadyPatched);
        EXPECT_EQ(dir.file_count(), 2u) << "expected h.exe and h.exe.orig only";
        if (HasFailure())
            break;
    }
}

TEST(TwoRuns, AfterAnUpdateNumberEachOriginalOnce) {
    const Bytes v1 = big_host("host-first.exe", 1 << 20), v2 = big_host("host-last.exe", 1 << 20);
    for (int round = 0; round < 8; ++round) {
        SCOPED_TRACE(round);
        TempDir dir;
        const std::string h = dir / "h.exe";
        testutil::write(h + ".orig", v1); // patched once, then updated to v2
        testutil::write(h, v2);
        EXPECT_EQ(at_once({h}), (std::vector<int>{0, 0}));
        EXPECT_EQ(testutil::read(h + ".orig"), v2);
        EXPECT_EQ(testutil::read(h + ".orig.1"), v1);
        EXPECT_EQ(dir.file_count(), 3u) << "expected h.exe, .orig and .orig.1 only";
        if (HasFailure())
            break;
    }
}

// A run killed while writing leaves its temporary file (and, natively, its
// lock file, whose lock died with it). The next run goes ahead and clears
// them; a name that only looks similar stays.
TEST(Leftovers, OfAKilledRunAreClearedByTheNext) {
    TempDir dir;
    const std::string h = dir / "h.exe";
    const Bytes original = host("host-first.exe");
    testutil::write(h, original);
    for (const char *left : {".sndlatch-tmp0", ".sndlatch-tmp12", ".sndlatch-lock"})
        testutil::write(h + left, Bytes(1000, 1));
    testutil::write(h + ".sndlatch-tmp-mine", Bytes{1});
    const Result r = cli({h});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(testutil::read(h + ".orig"), original);
    EXPECT_EQ(dir.file_count(), 3u) << "expected h.exe, .orig and .sndlatch-tmp-mine";

    testutil::write(dir / "out.exe.sndlatch-tmp3", Bytes(1000, 1));
    EXPECT_EQ(cli({"-o", dir / "out.exe", h}).code, 0);
    EXPECT_FALSE(std::filesystem::exists(dir / "out.exe.sndlatch-tmp3"));
}

// The patched program and its .orig keep the program's mode, owner and
// modification time.
TEST(Replace, KeepsModeOwnerAndTime) {
    TempDir dir;
    const std::string h = dir / "h.exe";
    testutil::write(h, host("host-first.exe"));
    ASSERT_EQ(chmod(h.c_str(), 0751), 0);
    const struct timespec times[2] = {{1577934245, 0}, {1577934245, 123456789}};
    ASSERT_EQ(utimensat(AT_FDCWD, h.c_str(), times, 0), 0);
    struct stat before {};
    stat(h.c_str(), &before);
    ASSERT_EQ(cli({h}).code, 0);
    for (const std::string &f : {h, h + ".orig"}) {
        struct stat after {};
        stat(f.c_str(), &after);
        EXPECT_EQ(after.st_mode, before.st_mode) << f;
        EXPECT_EQ(after.st_uid, before.st_uid) << f;
        EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec) << f;
        EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec) << f;
    }
}

TEST(Output, OnlyOntoARegularFileOrANewName) {
    TempDir dir;
    const std::string h = dir / "h.exe";
    testutil::write(h, host("host-first.exe"));
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    std::filesystem::create_symlink("/dev/null", dir / "null-link");
    std::filesystem::create_symlink("fifo", dir / "fifo-link");
    std::vector<std::string> specials = {dir / "fifo", dir / "null-link", dir / "fifo-link",
                                         dir.path.string()};
    if (geteuid() == 0 && mknod((dir / "null").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0)
        specials.push_back(dir / "null");
    for (const std::string &out : specials) {
        SCOPED_TRACE(out);
        struct stat before {};
        lstat(out.c_str(), &before);
        const Result r = cli({"-o", out, h});
        EXPECT_EQ(r.code, 2) << r.out;
        EXPECT_TRUE(has(r.err, "not a regular file")) << r.err;
        struct stat after {};
        lstat(out.c_str(), &after);
        EXPECT_EQ(after.st_mode, before.st_mode);
        EXPECT_EQ(after.st_ino, before.st_ino);
    }
    // A link to a regular file stays a link; the file it names is written.
    testutil::write(dir / "target.exe", Bytes{1});
    std::filesystem::create_symlink("target.exe", dir / "to-target.exe");
    EXPECT_EQ(cli({"-o", dir / "to-target.exe", h}).code, 0);
    EXPECT_TRUE(std::filesystem::is_symlink(dir / "to-target.exe"));
    EXPECT_EQ(analyze(testutil::read(dir / "target.exe"), {}).verdict, Verdict::AlreadyPatched);
}

// The tool run as a user who cannot read a folder: root reads every folder,
// so a root test drops to nobody in a child process. Returns false when
// that is not possible.
bool scan_as_user(const std::string &folder, Result &r) {
    int out[2];
    if (pipe(out) != 0)
        return false;
    const pid_t pid = fork();
    if (pid == 0) {
        close(out[0]);
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
            _exit(77);
        const Result c = cli({"--scan", folder});
        const std::string text = c.out + '\0' + c.err;
        (void)!write(out[1], text.data(), text.size());
        _exit(c.code);
    }
    close(out[1]);
    std::string text;
    char buf[4096];
    for (ssize_t n; (n = read(out[0], buf, sizeof buf)) > 0;)
        text.append(buf, size_t(n));
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) == 77)
        return false;
    const size_t nul = text.find('\0');
    r = {WEXITSTATUS(status), text.substr(0, nul),
         nul == std::string::npos ? "" : text.substr(nul + 1)};
    return true;
}

TEST(Scan, SaysWhichFoldersItCouldNotList) {
    TempDir dir;
    namespace fs = std::filesystem;
    for (const char *sub : {"a", "b/locked", "c"})
        fs::create_directories(dir.path / sub);
    for (const char *file : {"a/1.exe", "b/2.exe", "b/locked/3.exe", "c/4.exe"})
        testutil::write(dir / file, host("host-first.exe"));
    fs::create_directory_symlink("..", dir.path / "c/up"); // a loop, never followed
    fs::permissions(dir.path, fs::perms::all, fs::perm_options::add);
    fs::permissions(dir.path / "b/locked", fs::perms::none);

    Result r;
    const bool ran = scan_as_user(dir.path.string(), r);
    fs::permissions(dir.path / "b/locked", fs::perms::owner_all);
    if (!ran) {
        std::cout << "[ SKIPPED ] cannot run the scan as a user without access\n";
        return;
    }
    EXPECT_EQ(r.code, 1) << r.out << r.err;
    EXPECT_TRUE(has(r.err, "b/locked")) << r.err;
    EXPECT_TRUE(has(r.err, "could not list 1 folder")) << r.err;
    for (const char *file : {"a/1.exe: patchable", "b/2.exe: patchable", "c/4.exe: patchable"})
        EXPECT_TRUE(has(r.out, file)) << r.out;
    EXPECT_TRUE(has(r.out, "\n3 files:")) << r.out;
}

} // namespace
