// The file layer of `save` on POSIX: what a replaced file holds and looks like afterwards, links
// that survive, the exact descriptions of failures, and old contents that survive a failed save.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/mount.h>
#endif

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fileio.hpp"

namespace pyqelm::fileio {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes pattern(std::size_t size, unsigned seed) {
    Bytes out(size);
    for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<std::uint8_t>(i * 31 + seed);
    return out;
}

Bytes read_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_bytes(const std::string& path, const Bytes& data) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(data.data()),
               static_cast<std::streamsize>(data.size()));
}

struct stat status_of(const std::string& path) {
    struct stat st{};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st;
}

void expect_os_error(const std::optional<std::string>& result, int code, const char* kind) {
    ASSERT_TRUE(result.has_value());
    const std::string prefix = "Os { code: " + std::to_string(code) + ", kind: " + kind;
    EXPECT_TRUE(result->starts_with(prefix + ", message: \"")) << *result;
}

// Names parametrized cases after their `name` field.
struct ByName {
    template <class Case>
    std::string operator()(const ::testing::TestParamInfo<Case>& tested) const {
        return tested.param.name;
    }
};

// Runs each test in a fresh directory that is also the working directory, so that paths and
// link targets in the cases below can be relative.
class FileIo : public ::testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/fileio-XXXXXX";
        ASSERT_NE(::mkdtemp(name), nullptr);
        dir_ = name;
        old_cwd_ = std::filesystem::current_path();
        std::filesystem::current_path(dir_);
    }
    void TearDown() override {
        std::filesystem::current_path(old_cwd_);
        std::filesystem::remove_all(dir_);
    }
    // A temporary file left behind anywhere below the directory.
    bool has_leftovers() const {
        for (const auto& entry : std::filesystem::recursive_directory_iterator(dir_)) {
            if (entry.path().extension() == ".tmp") return true;
        }
        return false;
    }
    std::string dir_;
    std::filesystem::path old_cwd_;
};

struct SaveCase {
    mode_t umask;
    std::vector<std::size_t> sizes;  // one save each, to the same path
};
class Saves : public FileIo, public ::testing::WithParamInterface<SaveCase> {};

TEST_P(Saves, LeaveExactlyTheLastContentsAndAnUmaskedMode) {
    const mode_t old_umask = ::umask(GetParam().umask);
    unsigned seed = 0;
    for (const std::size_t size : GetParam().sizes) {
        const Bytes data = pattern(size, ++seed);
        EXPECT_EQ(replace_file("p.qelm", data), std::nullopt);
        EXPECT_EQ(read_bytes("p.qelm"), data) << "save " << seed;
    }
    ::umask(old_umask);
    EXPECT_EQ(status_of("p.qelm").st_mode & 07777, 0666 & ~GetParam().umask);
    EXPECT_FALSE(has_leftovers());
}
INSTANTIATE_TEST_SUITE_P(Sequences, Saves,
                         ::testing::Values(SaveCase{022, {201}}, SaveCase{077, {0}},
                                           SaveCase{002, {(3u << 20) + 7, 5000, 10}},
                                           SaveCase{027, {201, 201, 0, 3}}));

struct ModeCase {
    mode_t mode;
    bool chown;  // hand the file to another owner first (needs root)
};
class KeepsMode : public FileIo, public ::testing::WithParamInterface<ModeCase> {};

TEST_P(KeepsMode, AndOwnerOfTheReplacedFile) {
    if (GetParam().chown && ::geteuid() != 0) GTEST_SKIP() << "changing owners needs root";
    write_bytes("p.qelm", pattern(100, 1));
    if (GetParam().chown) {
        ASSERT_EQ(::chown("p.qelm", 4321, 8765), 0);
    }
    ASSERT_EQ(::chmod("p.qelm", GetParam().mode), 0);
    const struct stat before = status_of("p.qelm");
    ASSERT_EQ(replace_file("p.qelm", pattern(10, 2)), std::nullopt);
    const struct stat after = status_of("p.qelm");
    EXPECT_EQ(after.st_mode & 07777, GetParam().mode);
    EXPECT_EQ(after.st_uid, before.st_uid);
    EXPECT_EQ(after.st_gid, before.st_gid);
}
// The set-ID bits show that ownership is restored before the mode, which a chown would clear.
INSTANTIATE_TEST_SUITE_P(Modes, KeepsMode,
                         ::testing::Values(ModeCase{0600, false}, ModeCase{0640, false},
                                           ModeCase{0751, true}, ModeCase{06755, true}));

struct LinkCase {
    const char* name;
    std::vector<std::pair<std::string, std::string>> links;  // link -> target; '@' = test dir
    const char* file;                                        // where the data must land
    bool file_exists;
};
class Links : public FileIo, public ::testing::WithParamInterface<LinkCase> {};

TEST_P(Links, StayAndTheFileTheyNameIsReplaced) {
    std::filesystem::create_directories("links");
    std::filesystem::create_directories("real");
    const Bytes old = pattern(999, 3);
    if (GetParam().file_exists) {
        write_bytes(GetParam().file, old);
        // A second name for the same file: it must see the new contents too.
        ASSERT_EQ(::link(GetParam().file, "real/held"), 0);
    }
    for (auto [link, target] : GetParam().links) {
        if (target.starts_with('@')) target = dir_ + target.substr(1);
        ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
    }
    const Bytes data = pattern(77, 4);
    ASSERT_EQ(replace_file(GetParam().links.front().first, data), std::nullopt);
    EXPECT_EQ(read_bytes(GetParam().file), data);
    if (GetParam().file_exists) {
        EXPECT_EQ(read_bytes("real/held"), data);
    }
    for (const auto& [link, target] : GetParam().links) {
        EXPECT_TRUE(S_ISLNK(status_of(link).st_mode)) << link;
    }
    EXPECT_FALSE(has_leftovers());
}
INSTANTIATE_TEST_SUITE_P(
    Kinds, Links,
    ::testing::Values(
        LinkCase{"Absolute", {{"links/a.qelm", "@/real/t.qelm"}}, "real/t.qelm", true},
        LinkCase{"Relative", {{"links/a.qelm", "../real/t.qelm"}}, "real/t.qelm", true},
        LinkCase{"Chain",
                 {{"links/a.qelm", "b.qelm"}, {"links/b.qelm", "../real/t.qelm"}},
                 "real/t.qelm",
                 true},
        LinkCase{"Dangling", {{"links/a.qelm", "../real/n.qelm"}}, "real/n.qelm", false}),
    ByName());

TEST_F(FileIo, MissingDirectoryIsDescribedExactly) {
    EXPECT_EQ(replace_file("nowhere/p.qelm", pattern(5, 0)),
              "Os { code: 2, kind: NotFound, message: \"No such file or directory\" }");
}

TEST_F(FileIo, NulInThePathFailsBeforeTouchingTheDisk) {
    using namespace std::string_view_literals;
    EXPECT_EQ(
        replace_file("a\0b.qelm"sv, pattern(5, 0)),
        "Error { kind: InvalidInput, message: \"file name contained an unexpected NUL byte\" }");
    EXPECT_TRUE(std::filesystem::is_empty(dir_));
}

struct ErrorCase {
    const char* name;
    std::vector<std::string> setup;  // "d:name" directory, "f:name" file, "l:name>target" link
    std::string path;
    int code;
    const char* kind;
};
class Refuses : public FileIo, public ::testing::WithParamInterface<ErrorCase> {};

TEST_P(Refuses, WithTheErrorOfADirectOpen) {
    for (const std::string& entry : GetParam().setup) {
        const std::string name = entry.substr(2, entry.find('>') - 2);
        if (entry[0] == 'd') std::filesystem::create_directory(name);
        if (entry[0] == 'f') write_bytes(name, pattern(3, 0));
        if (entry[0] == 'l') {
            ASSERT_EQ(::symlink(entry.substr(entry.find('>') + 1).c_str(), name.c_str()), 0);
        }
    }
    expect_os_error(replace_file(GetParam().path, pattern(5, 0)), GetParam().code, GetParam().kind);
    EXPECT_FALSE(has_leftovers());
}
INSTANTIATE_TEST_SUITE_P(
    Paths, Refuses,
    ::testing::Values(
        ErrorCase{"Directory", {"d:d.qelm"}, "d.qelm", EISDIR, "IsADirectory"},
        ErrorCase{"LinkToDirectory", {"d:d", "l:l.qelm>d"}, "l.qelm", EISDIR, "IsADirectory"},
        ErrorCase{"FileAsDirectory", {"f:f"}, "f/p.qelm", ENOTDIR, "NotADirectory"},
        ErrorCase{"SelfLink", {"l:s.qelm>s.qelm"}, "s.qelm", ELOOP, "FilesystemLoop"},
        ErrorCase{
            "LinkCycle", {"l:a.qelm>b.qelm", "l:b.qelm>a.qelm"}, "a.qelm", ELOOP, "FilesystemLoop"},
        ErrorCase{
            "NameTooLong", {}, std::string(300, 'n') + ".qelm", ENAMETOOLONG, "InvalidFilename"}),
    ByName());

// A failed save must leave the previous file whole and no temporary file behind.
TEST_F(FileIo, FailureBeyondTheFileSizeLimitKeepsTheOldFile) {
    const Bytes old = pattern(100, 5);
    write_bytes("p.qelm", old);
    int pipe_fds[2];
    ASSERT_EQ(::pipe(pipe_fds), 0);
    const pid_t child = ::fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        // As the interpreter does at start-up; the default action would kill the process.
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{4096, 4096};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        const std::string result = replace_file("p.qelm", pattern(65536, 6)).value_or("");
        ::_exit(::write(pipe_fds[1], result.data(), result.size()) < 0);
    }
    ::close(pipe_fds[1]);
    std::string result(512, '\0');
    result.resize(static_cast<std::size_t>(std::max<ssize_t>(0, ::read(pipe_fds[0], result.data(),
                                                                       result.size()))));
    ::close(pipe_fds[0]);
    ::waitpid(child, nullptr, 0);
    expect_os_error(result, EFBIG, "FileTooLarge");
    EXPECT_EQ(read_bytes("p.qelm"), old);
    EXPECT_FALSE(has_leftovers());
}

struct FailureCase {
    const char* name;
    enum { read_only_directory, read_only_file, full_tmpfs, read_only_tmpfs } where;
    int code;
    const char* kind;
};
class Failing : public FileIo, public ::testing::WithParamInterface<FailureCase> {
protected:
    void TearDown() override {
#ifdef __linux__
        if (mounted_) ::umount2((dir_ + "/d").c_str(), MNT_DETACH);
#endif
        ::chmod((dir_ + "/d").c_str(), 0755);
        FileIo::TearDown();
    }
    bool mounted_ = false;
};

TEST_P(Failing, SaveKeepsTheOldFile) {
    const auto where = GetParam().where;
    std::filesystem::create_directory("d");
    const bool by_mode =
        where == FailureCase::read_only_directory || where == FailureCase::read_only_file;
    if (by_mode && ::geteuid() == 0) GTEST_SKIP() << "root writes whatever the mode bits say";
    if (!by_mode) {
#ifdef __linux__
        mounted_ = ::mount("tmpfs", "d", "tmpfs", 0, "size=64k") == 0;
#endif
        if (!mounted_) GTEST_SKIP() << "cannot mount a tmpfs";
    }
    const Bytes old = pattern(8192, 5);
    write_bytes("d/p.qelm", old);
#ifdef __linux__
    if (where == FailureCase::read_only_tmpfs) {
        ASSERT_EQ(::mount("tmpfs", "d", "tmpfs", MS_REMOUNT | MS_RDONLY, "size=64k"), 0);
    }
#endif
    if (where == FailureCase::read_only_directory) ::chmod("d", 0555);
    if (where == FailureCase::read_only_file) ::chmod("d/p.qelm", 0444);
    expect_os_error(replace_file("d/p.qelm", pattern(1 << 20, 6)), GetParam().code,
                    GetParam().kind);
    EXPECT_EQ(read_bytes("d/p.qelm"), old);
    EXPECT_FALSE(has_leftovers());
}
INSTANTIATE_TEST_SUITE_P(
    Places, Failing,
    ::testing::Values(
        FailureCase{"ReadOnlyDirectory", FailureCase::read_only_directory, EACCES,
                    "PermissionDenied"},
        FailureCase{"ReadOnlyFile", FailureCase::read_only_file, EACCES, "PermissionDenied"},
        FailureCase{"FullTmpfs", FailureCase::full_tmpfs, ENOSPC, "StorageFull"},
        FailureCase{"ReadOnlyTmpfs", FailureCase::read_only_tmpfs, EROFS, "ReadOnlyFilesystem"}),
    ByName());

// A pipe or device has no contents to protect; swapping it for a regular file would break it.
TEST_F(FileIo, WritesIntoAPipeInPlace) {
    ASSERT_EQ(::mkfifo("pipe.qelm", 0600), 0);
    const int reader = ::open("pipe.qelm", O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    const Bytes data = pattern(300, 8);
    ASSERT_EQ(replace_file("pipe.qelm", data), std::nullopt);
    Bytes got(1000);
    got.resize(static_cast<std::size_t>(std::max<ssize_t>(0,
                                                          ::read(reader, got.data(), got.size()))));
    ::close(reader);
    EXPECT_EQ(got, data);
    EXPECT_TRUE(S_ISFIFO(status_of("pipe.qelm").st_mode));
}

class ErrnoKind : public ::testing::TestWithParam<std::pair<int, const char*>> {};
TEST_P(ErrnoKind, Maps) { EXPECT_EQ(detail::os_error_kind(GetParam().first), GetParam().second); }
INSTANTIATE_TEST_SUITE_P(
    Table, ErrnoKind,
    ::testing::Values(std::pair{ENOENT, "NotFound"}, std::pair{EPERM, "PermissionDenied"},
                      std::pair{EDQUOT, "QuotaExceeded"}, std::pair{EXDEV, "CrossesDevices"},
                      std::pair{EAGAIN, "WouldBlock"}, std::pair{ENOTEMPTY, "DirectoryNotEmpty"},
                      std::pair{EPROTO, "Uncategorized"}, std::pair{9999, "Uncategorized"}));

TEST(DescribeOsError, UnknownCodeGetsTheLibraryText) {
    EXPECT_EQ(detail::describe_os_error(9999),
              "Os { code: 9999, kind: Uncategorized, message: \"Unknown error 9999\" }");
}

class Quote : public ::testing::TestWithParam<std::pair<std::string, std::string>> {};
TEST_P(Quote, Escapes) { EXPECT_EQ(detail::quote_message(GetParam().first), GetParam().second); }
INSTANTIATE_TEST_SUITE_P(
    Messages, Quote,
    ::testing::Values(
        std::pair{std::string("a\"b\\c"), std::string(R"("a\"b\\c")")},
        std::pair{std::string("x\n\t\r\0y", 6), std::string(R"("x\n\t\r\0y")")},
        std::pair{std::string("\x1b[0m\x7f"), std::string(R"("\u{1b}[0m\u{7f}")")},
        std::pair{std::string("\xc2\x85 \xc3\xa9"), std::string("\"\\u{85} \xc3\xa9\"")},
        // Not UTF-8: each broken piece becomes one U+FFFD.
        std::pair{
            std::string("\xff|\xe2\x82|\xed\xa0\x80"),
            std::string("\"\xef\xbf\xbd|\xef\xbf\xbd|\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\"")}));

TEST(Utf16ToUtf8, ConvertsPairsAndRejectsLoneSurrogates) {
    EXPECT_EQ(detail::utf16_to_utf8(u"a\u00e9\u20ac\U0001F600"),
              "a\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80");
    for (const std::u16string bad : {u"\xD800x", u"x\xDC00", u"x\xD83D"}) {
        EXPECT_EQ(detail::utf16_to_utf8(bad), std::nullopt);
    }
}

}  // namespace
}  // namespace pyqelm::fileio
