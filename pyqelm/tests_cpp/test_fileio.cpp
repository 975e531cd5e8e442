// The file layer of `save` on POSIX: what a replaced file holds and looks like afterwards, what
// makes it that file (inode, other names, owner, attributes, mounts) and survives, the exact
// descriptions of failures, and old contents that survive a failed save.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/mount.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <new>
#include <span>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "fileio.hpp"
#include "fileio_test_support.hpp"

namespace pyqelm::fileio {
namespace {

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

// Runs each test in a fresh directory that is also the working directory, so that paths and
// link targets in the cases below can be relative.
class FileIo : public ::testing::Test {
protected:
    void SetUp() override {
        const char* base = std::getenv("TMPDIR");
        std::string name =
            std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/fileio-XXXXXX";
        ASSERT_NE(::mkdtemp(name.data()), nullptr);
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

// Runs `save` in a child process (which may change its limits or its user first) and returns
// what it returned there: "" for success, else the description.
template <class Prepare>
std::string in_child(Prepare prepare, const std::string& path, const Bytes& data) {
    int pipe_fds[2];
    if (::pipe(pipe_fds) != 0) return "pipe failed";
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pipe_fds[0]);
        std::string result = "child could not prepare";
        if (prepare()) result = replace_file(path, data).value_or("");
        ::_exit(::write(pipe_fds[1], result.data(), result.size()) < 0);
    }
    ::close(pipe_fds[1]);
    std::string result(4096, '\0');
    result.resize(static_cast<std::size_t>(std::max<ssize_t>(0, ::read(pipe_fds[0], result.data(),
                                                                       result.size()))));
    ::close(pipe_fds[0]);
    ::waitpid(child, nullptr, 0);
    return result;
}

constexpr uid_t nobody = 65534;
constexpr gid_t nogroup = 65534;

bool become_nobody() {
    return ::setgroups(0, nullptr) == 0 && ::setresgid(nogroup, nogroup, nogroup) == 0 &&
           ::setresuid(nobody, nobody, nobody) == 0;
}

// A failed save must leave the previous file whole and no temporary file behind, whether the
// file was to be replaced or (having a second name) rewritten in place.
class SizeLimit : public FileIo, public ::testing::WithParamInterface<bool> {};

TEST_P(SizeLimit, FailureKeepsTheOldFile) {
    const Bytes old = pattern(100, 5);
    write_bytes("p.qelm", old);
    if (GetParam()) {
        ASSERT_EQ(::link("p.qelm", "second"), 0);
    }
    const std::string result = in_child(
        [] {
            // As the interpreter does at start-up; the default action would kill the process.
            ::signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{4096, 4096};
            return ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
        },
        "p.qelm", pattern(65536, 6));
    expect_os_error(result, EFBIG, "FileTooLarge");
    EXPECT_EQ(read_bytes("p.qelm"), old);
    EXPECT_EQ(status_of("p.qelm").st_size, 100);
    EXPECT_FALSE(has_leftovers());
}
INSTANTIATE_TEST_SUITE_P(Paths, SizeLimit, ::testing::Values(false, true),
                         [](const auto& tested) { return tested.param ? "InPlace" : "Rename"; });

struct FailureCase {
    const char* name;
    enum { read_only_file, full_tmpfs, full_tmpfs_linked, read_only_tmpfs } where;
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
    const bool by_mode = where == FailureCase::read_only_file;
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
    if (where == FailureCase::full_tmpfs_linked) {
        ASSERT_EQ(::link("d/p.qelm", "d/second"), 0);
    }
    if (where == FailureCase::read_only_file) ::chmod("d/p.qelm", 0444);
    expect_os_error(replace_file("d/p.qelm", pattern(1 << 20, 6)), GetParam().code,
                    GetParam().kind);
    EXPECT_EQ(read_bytes("d/p.qelm"), old);
    EXPECT_FALSE(has_leftovers());
}
INSTANTIATE_TEST_SUITE_P(
    Places, Failing,
    ::testing::Values(
        FailureCase{"ReadOnlyFile", FailureCase::read_only_file, EACCES, "PermissionDenied"},
        FailureCase{"FullTmpfs", FailureCase::full_tmpfs, ENOSPC, "StorageFull"},
        FailureCase{"FullTmpfsInPlace", FailureCase::full_tmpfs_linked, ENOSPC, "StorageFull"},
        FailureCase{"ReadOnlyTmpfs", FailureCase::read_only_tmpfs, EROFS, "ReadOnlyFilesystem"}),
    ByName());

ino_t inode_of(const std::string& path) { return status_of(path).st_ino; }

// --- what makes the file that file ----------------------------------------------------------

TEST_F(FileIo, EveryNameOfAFileWithSeveralSeesTheNewContents) {
    write_bytes("p.qelm", pattern(5000, 1));
    ASSERT_EQ(::link("p.qelm", "other.qelm"), 0);
    const ino_t inode = inode_of("p.qelm");
    for (const std::size_t size : {std::size_t{300}, std::size_t{9000}, std::size_t{0}}) {
        const Bytes data = pattern(size, static_cast<unsigned>(size));
        ASSERT_EQ(replace_file("p.qelm", data), std::nullopt);
        EXPECT_EQ(read_bytes("other.qelm"), data) << size;
        EXPECT_EQ(inode_of("p.qelm"), inode);
    }
    EXPECT_FALSE(has_leftovers());
}

TEST_F(FileIo, AFileWithOneNameIsReplacedByANewOne) {
    write_bytes("p.qelm", pattern(5000, 1));
    const int held = ::open("p.qelm", O_RDONLY);
    ASSERT_GE(held, 0);
    ASSERT_EQ(replace_file("p.qelm", pattern(10, 2)), std::nullopt);
    // A reader that had the old file open keeps reading the old protocol.
    struct stat opened{};
    ASSERT_EQ(::fstat(held, &opened), 0);
    ::close(held);
    EXPECT_NE(opened.st_ino, inode_of("p.qelm"));
    EXPECT_EQ(opened.st_size, 5000);
}

#ifdef __linux__
TEST_F(FileIo, AFileMountedOnItselfIsRewrittenInPlace) {
    write_bytes("p.qelm", pattern(5000, 1));
    if (::mount("p.qelm", "p.qelm", nullptr, MS_BIND, nullptr) != 0) {
        GTEST_SKIP() << "cannot bind-mount here: " << std::strerror(errno);
    }
    const Bytes data = pattern(70, 2);
    const auto result = replace_file("p.qelm", data);
    const Bytes got = read_bytes("p.qelm");
    ::umount2("p.qelm", MNT_DETACH);
    EXPECT_EQ(result, std::nullopt);
    EXPECT_EQ(got, data);
    EXPECT_EQ(read_bytes("p.qelm"), data);  // the file underneath is that same file
    EXPECT_FALSE(has_leftovers());
}
#endif

// As an ordinary user, who can neither hand a new file to someone else nor create one in a
// directory it may not write, and who may not rename over another user's file in a sticky
// directory: each of these files is still saved, and stays the file it was.
struct UserCase {
    const char* name;
    mode_t directory_mode;
    uid_t owner;
    gid_t group;
    mode_t file_mode;
    bool same_inode;  // false: replaced by a new file, which is fine where nothing tells
};
class AsAnotherUser : public FileIo, public ::testing::WithParamInterface<UserCase> {};

TEST_P(AsAnotherUser, SavesAndKeepsTheFile) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to set up files of other users";
    const UserCase& c = GetParam();
    ASSERT_EQ(::chmod(dir_.c_str(), 0755), 0);
    std::filesystem::create_directory("d");
    write_bytes("d/p.qelm", pattern(3000, 1));
    ASSERT_EQ(::chown("d/p.qelm", c.owner, c.group), 0);
    ASSERT_EQ(::chmod("d/p.qelm", c.file_mode), 0);
    ASSERT_EQ(::chmod("d", c.directory_mode), 0);
    const ino_t inode = inode_of("d/p.qelm");
    const Bytes data = pattern(40000, 2);
    EXPECT_EQ(in_child(become_nobody, "d/p.qelm", data), "");
    EXPECT_EQ(read_bytes("d/p.qelm"), data);
    const struct stat after = status_of("d/p.qelm");
    EXPECT_EQ(after.st_uid, c.owner);
    EXPECT_EQ(after.st_gid, c.group);
    EXPECT_EQ(after.st_mode & 07777, c.file_mode);
    EXPECT_EQ(after.st_ino == inode, c.same_inode);
    EXPECT_FALSE(has_leftovers());
}
INSTANTIATE_TEST_SUITE_P(
    Places, AsAnotherUser,
    ::testing::Values(UserCase{"OthersFileInStickyDirectory", 01777, 4321, 8765, 0666, true},
                      UserCase{"WritableFileInReadOnlyDirectory", 0555, 0, 0, 0666, true},
                      UserCase{"OwnFileInReadOnlyDirectory", 0555, nobody, nogroup, 0600, true},
                      UserCase{"OthersFileInWritableDirectory", 0777, 4321, 8765, 0646, true},
                      // Rewritten in place too: a new file could lack attributes of the
                      // trusted namespace, which only a caller with CAP_SYS_ADMIN can list.
                      UserCase{"OwnFileInWritableDirectory", 0777, nobody, nogroup, 0640, true}),
    ByName());

TEST_F(FileIo, AFileTheUserMayNotWriteIsRefusedAndKept) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to set up files of other users";
    ASSERT_EQ(::chmod(dir_.c_str(), 0777), 0);
    const Bytes old = pattern(3000, 1);
    write_bytes("p.qelm", old);
    ASSERT_EQ(::chmod("p.qelm", 0644), 0);
    expect_os_error(in_child(become_nobody, "p.qelm", pattern(10, 2)), EACCES, "PermissionDenied");
    EXPECT_EQ(read_bytes("p.qelm"), old);
    EXPECT_FALSE(has_leftovers());
}

// A POSIX ACL as the kernel stores it: user::rw- user:4321:r-- group::r-- mask::r-- other::---
std::string access_acl() {
    std::string out;
    const auto u16 = [&out](unsigned v) { out += char(v & 0xFF), out += char(v >> 8); };
    const auto u32 = [&](std::uint32_t v) { u16(v & 0xFFFF), u16(v >> 16); };
    u32(2);
    for (const auto& [tag, perm, id] : {std::tuple{0x01u, 6u, 0xFFFFFFFFu},
                                        {0x02u, 4u, 4321u},
                                        {0x04u, 4u, 0xFFFFFFFFu},
                                        {0x10u, 4u, 0xFFFFFFFFu},
                                        {0x20u, 0u, 0xFFFFFFFFu}}) {
        u16(tag), u16(perm), u32(id);
    }
    return out;
}

std::string attribute(const std::string& path, const char* name) {
    std::string value(4096, '\0');
    const ssize_t size = ::getxattr(path.c_str(), name, value.data(), value.size());
    return size < 0 ? "<" + std::string(std::strerror(errno)) + ">"
                    : value.substr(0, static_cast<std::size_t>(size));
}

struct AttributeCase {
    const char* name;
    std::vector<std::pair<std::string, std::string>> attributes;
};
class Attributes : public FileIo, public ::testing::WithParamInterface<AttributeCase> {};

TEST_P(Attributes, StayWithTheFile) {
    write_bytes("p.qelm", pattern(3000, 1));
    for (const auto& [name, value] : GetParam().attributes) {
        if (::setxattr("p.qelm", name.c_str(), value.data(), value.size(), 0) != 0) {
            GTEST_SKIP() << name << " not supported here: " << std::strerror(errno);
        }
    }
    const mode_t mode = status_of("p.qelm").st_mode & 07777;
    // An ACL the directory hands down to new files: the new file must not keep it.
    const std::string inherited = access_acl();
    ASSERT_EQ(::setxattr(".", "system.posix_acl_default", inherited.data(), inherited.size(), 0),
              0);
    ASSERT_EQ(replace_file("p.qelm", pattern(50, 2)), std::nullopt);
    EXPECT_EQ(read_bytes("p.qelm"), pattern(50, 2));
    for (const auto& [name, value] : GetParam().attributes) {
        EXPECT_EQ(attribute("p.qelm", name.c_str()), value) << name;
    }
    char names[4096];
    const ssize_t size = ::listxattr("p.qelm", names, sizeof names);
    std::size_t count = 0;
    for (ssize_t at = 0; at < size; at += static_cast<ssize_t>(std::strlen(names + at)) + 1) {
        ++count;
    }
    EXPECT_EQ(count, GetParam().attributes.size());
    EXPECT_EQ(status_of("p.qelm").st_mode & 07777, mode);
    EXPECT_FALSE(has_leftovers());
}
INSTANTIATE_TEST_SUITE_P(
    Sets, Attributes,
    ::testing::Values(AttributeCase{"None", {}},
                      AttributeCase{"User", {{"user.origin", "lab 3"}, {"user.empty", ""}}},
                      AttributeCase{"Acl",
                                    {{"system.posix_acl_access", access_acl()},
                                     {"user.big", std::string(3000, 'x')}}}),
    ByName());

TEST_F(FileIo, APathNearTheLengthLimitIsSaved) {
    // Absolute, 4090 bytes: a temporary file's full path beside it would pass PATH_MAX.
    std::string path = dir_;
    while (path.size() < 4090 - 220) {
        path += '/' + std::string(std::min<std::size_t>(200, 4090 - 220 - path.size()), 'd');
        ASSERT_EQ(::mkdir(path.c_str(), 0755), 0) << path.size();
    }
    path += '/' + std::string(4090 - path.size() - 6, 'n') + ".qelm";
    ASSERT_EQ(path.size(), 4090u);
    for (const unsigned seed : {1u, 2u}) {  // a new file, then an existing one
        const Bytes data = pattern(100, seed);
        ASSERT_EQ(replace_file(path, data), std::nullopt);
        EXPECT_EQ(read_bytes(path), data);
    }
    EXPECT_FALSE(has_leftovers());
}

// A link whose text and whose own path are each within the path limit, but not both together:
// the kernel opens it, so a save must get through it too.
TEST_F(FileIo, ALinkIsFollowedWhateverTheLengthOfBothPathsTogether) {
    const std::string part(200, 'd');
    std::vector<int> fds{AT_FDCWD};  // the directory chain, to build it and take it down again
    const auto descend = [&](int count) {
        std::string path;
        for (int i = 0; i < count; ++i) {
            EXPECT_EQ(::mkdirat(fds.back(), part.c_str(), 0755), 0);
            fds.push_back(::openat(fds.back(), part.c_str(), O_RDONLY | O_DIRECTORY));
            path += part + '/';
        }
        return path;
    };
    const std::string to_link = descend(10);               // 2010 bytes
    const std::string link_text = descend(14) + "p.qelm";  // 2820 bytes
    const int file_directory = fds.back();
    ASSERT_EQ(::symlinkat(link_text.c_str(), fds[10], "a.qelm"), 0);
    const Bytes data = pattern(300, 7);
    EXPECT_EQ(replace_file(to_link + "a.qelm", data), std::nullopt);
    EXPECT_EQ(read_bytes(to_link + "a.qelm"), data);  // read through the link
    EXPECT_TRUE(S_ISLNK(status_of(to_link + "a.qelm").st_mode));
    std::vector<std::string> names;
    for (const auto& entry :
         std::filesystem::directory_iterator("/proc/self/fd/" + std::to_string(file_directory))) {
        names.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(names, std::vector<std::string>{"p.qelm"});  // no temporary file beside it
    ::unlinkat(file_directory, "p.qelm", 0);
    ::unlinkat(fds[10], "a.qelm", 0);
    for (std::size_t i = fds.size() - 1; i > 0; --i) {
        ::close(fds[i]);
        ::unlinkat(fds[i - 1], part.c_str(), AT_REMOVEDIR);
    }
}

TEST_F(FileIo, ALongNameGetsAShortenedTemporaryName) {
    const std::string name = std::string(250, 'n') + ".qelm";
    write_bytes(name, pattern(10, 1));
    ASSERT_EQ(replace_file(name, pattern(20, 2)), std::nullopt);
    EXPECT_EQ(read_bytes(name), pattern(20, 2));
    EXPECT_FALSE(has_leftovers());
}

// --- an I/O error at each step of a save ----------------------------------------------------

struct FaultCase {
    const char* name;
    enum Path { new_file, rename, in_place } path;
    detail::Step step;
    std::size_t old_size;
    std::size_t new_size;
};
class Faults : public FileIo, public ::testing::WithParamInterface<FaultCase> {
protected:
    void TearDown() override {
        detail::fault_hook = nullptr;
        FileIo::TearDown();
    }
    static inline detail::Step failing_{};
};

TEST_P(Faults, LeaveTheOldFileWhole) {
    const FaultCase& c = GetParam();
    const Bytes old = pattern(c.old_size, 1);
    if (c.path != FaultCase::new_file) write_bytes("p.qelm", old);
    if (c.path == FaultCase::in_place) {
        ASSERT_EQ(::link("p.qelm", "second"), 0);
    }
    const ino_t inode = c.path == FaultCase::new_file ? 0 : inode_of("p.qelm");
    failing_ = c.step;
    detail::fault_hook = [](detail::Step step) { return step == failing_ ? EIO : 0; };
    const Bytes data = pattern(c.new_size, 2);
    const auto result = replace_file("p.qelm", data);
    detail::fault_hook = nullptr;
    expect_os_error(result, EIO, "Uncategorized");
    // Only a failure after the rename says the new contents are in place.
    EXPECT_EQ(result.value_or("").find("the new contents are in place") != std::string::npos,
              c.step == detail::Step::sync_directory);
    if (c.step == detail::Step::sync_directory) {
        // The rename is done: the file is the new one, whole, but may not survive a power cut.
        EXPECT_EQ(read_bytes("p.qelm"), data);
    } else if (c.path == FaultCase::new_file) {
        EXPECT_FALSE(std::filesystem::exists("p.qelm"));
    } else {
        EXPECT_EQ(read_bytes("p.qelm"), old);
        EXPECT_EQ(inode_of("p.qelm"), inode);
    }
    EXPECT_FALSE(has_leftovers());
}
using S = detail::Step;
INSTANTIATE_TEST_SUITE_P(
    Steps, Faults,
    ::testing::Values(FaultCase{"NewCreate", FaultCase::new_file, S::create_temp, 0, 500},
                      FaultCase{"NewWrite", FaultCase::new_file, S::write, 0, 500},
                      FaultCase{"NewSync", FaultCase::new_file, S::sync, 0, 500},
                      FaultCase{"NewRename", FaultCase::new_file, S::rename, 0, 500},
                      FaultCase{"NewSyncDirectory", FaultCase::new_file, S::sync_directory, 0, 500},
                      FaultCase{"ReplaceCreate", FaultCase::rename, S::create_temp, 800, 500},
                      FaultCase{"ReplaceWrite", FaultCase::rename, S::write, 800, 500},
                      FaultCase{"ReplaceSync", FaultCase::rename, S::sync, 800, 500},
                      FaultCase{"ReplaceRename", FaultCase::rename, S::rename, 800, 500},
                      FaultCase{"ReplaceSyncDirectory", FaultCase::rename, S::sync_directory, 800,
                                500},
                      FaultCase{"InPlaceRead", FaultCase::in_place, S::read_old, 800, 500},
                      FaultCase{"InPlaceReserve", FaultCase::in_place, S::reserve, 800, 5000},
                      FaultCase{"InPlaceWriteShorter", FaultCase::in_place, S::write, 8000, 500},
                      FaultCase{"InPlaceWriteLonger", FaultCase::in_place, S::write, 800, 5000},
                      FaultCase{"InPlaceTruncate", FaultCase::in_place, S::truncate, 8000, 500},
                      FaultCase{"InPlaceSyncShorter", FaultCase::in_place, S::sync, 8000, 500},
                      FaultCase{"InPlaceSyncLonger", FaultCase::in_place, S::sync, 800, 5000}),
    ByName());

// --- contents produced while they are written -----------------------------------------------

// Hands over `data` in pieces of `piece` bytes. Announces `announced` bytes (default: all),
// and after `fail_after` pieces either stops with EIO or throws std::bad_alloc.
class PieceContents final : public Contents {
public:
    enum Failure { none, error, exception };
    PieceContents(Bytes data, std::size_t piece, Failure failure = none, std::size_t fail_after = 0)
        : data_(std::move(data)), piece_(piece), failure_(failure), fail_after_(fail_after) {
        announced = data_.size();
    }
    std::uint64_t size() const override { return announced; }
    int produce(Output& out) const override {
        std::size_t count = 0;
        for (std::size_t at = 0; at < data_.size(); at += piece_, ++count) {
            if (failure_ != none && count == fail_after_) {
                if (failure_ == exception) throw std::bad_alloc();
                return EIO;
            }
            const std::size_t n = std::min(piece_, data_.size() - at);
            if (const int e = out.write(std::span(data_).subspan(at, n)); e != 0) return e;
        }
        return 0;
    }
    std::uint64_t announced;

private:
    Bytes data_;
    std::size_t piece_;
    Failure failure_;
    std::size_t fail_after_;
};

struct StreamCase {
    const char* name;
    bool second_name;  // rewritten in place rather than replaced
    PieceContents::Failure failure;
    bool piece_write_fails;  // the write of the third piece fails instead
    std::size_t old_size;
};
class Streams : public FileIo, public ::testing::WithParamInterface<StreamCase> {
protected:
    void TearDown() override {
        detail::fault_hook = nullptr;
        FileIo::TearDown();
    }
};

TEST_P(Streams, AFailureAfterSomePiecesLeavesTheOldFileWhole) {
    const StreamCase& c = GetParam();
    const Bytes old = pattern(c.old_size, 1);
    write_bytes("p.qelm", old);
    if (c.second_name) {
        ASSERT_EQ(::link("p.qelm", "second"), 0);
    }
    const ino_t inode = inode_of("p.qelm");
    const PieceContents contents(pattern(10000, 2), 1000, c.failure, 3);
    static int pieces = 0;
    pieces = 0;
    if (c.piece_write_fails) {
        detail::fault_hook = [](detail::Step step) {
            return step == detail::Step::write_piece && ++pieces == 3 ? EIO : 0;
        };
    }
    if (c.failure == PieceContents::exception) {
        EXPECT_THROW(replace_file("p.qelm", contents), std::bad_alloc);
    } else {
        expect_os_error(replace_file("p.qelm", contents), EIO, "Uncategorized");
    }
    detail::fault_hook = nullptr;
    EXPECT_EQ(read_bytes("p.qelm"), old);
    EXPECT_EQ(inode_of("p.qelm"), inode);
    if (c.second_name) {
        EXPECT_EQ(read_bytes("second"), old);
    }
    EXPECT_FALSE(has_leftovers());
    // The same contents, unhindered, arrive whole.
    ASSERT_EQ(replace_file("p.qelm", PieceContents(pattern(10000, 2), 1000)), std::nullopt);
    EXPECT_EQ(read_bytes("p.qelm"), pattern(10000, 2));
}
INSTANTIATE_TEST_SUITE_P(
    Failures, Streams,
    ::testing::Values(
        StreamCase{"ReplacedProducerFails", false, PieceContents::error, false, 800},
        StreamCase{"ReplacedProducerThrows", false, PieceContents::exception, false, 800},
        StreamCase{"ReplacedPieceWriteFails", false, PieceContents::none, true, 800},
        StreamCase{"InPlaceProducerFails", true, PieceContents::error, false, 20000},
        StreamCase{"InPlaceProducerThrows", true, PieceContents::exception, false, 800},
        StreamCase{"InPlacePieceWriteFails", true, PieceContents::none, true, 800},
        StreamCase{"InPlaceLongerPieceWriteFails", true, PieceContents::none, true, 20000}),
    ByName());

// Contents that produce another length than they announced are not saved.
TEST_F(FileIo, ContentsOtherThanAnnouncedAreRefused) {
    for (const bool second_name : {false, true}) {
        for (const std::uint64_t announced : {std::uint64_t{5000}, std::uint64_t{20000}}) {
            write_bytes("p.qelm", pattern(800, 1));
            if (second_name) {
                ASSERT_EQ(::link("p.qelm", "second"), 0);
            }
            PieceContents contents(pattern(10000, 2), 1000);
            contents.announced = announced;
            const auto result = replace_file("p.qelm", contents);
            ASSERT_TRUE(result.has_value());
            EXPECT_EQ(*result,
                      "Error { kind: WriteZero, message: \"failed to write whole buffer\" }");
            EXPECT_EQ(read_bytes("p.qelm"), pattern(800, 1));
            EXPECT_FALSE(has_leftovers());
            if (second_name) ::unlink("second");
        }
    }
}

// Where the new file cannot take on the old one's identity, the save goes in place instead.
TEST_F(FileIo, AFailedCopyOfTheIdentityMeansInPlace) {
    write_bytes("p.qelm", pattern(800, 1));
    const ino_t inode = inode_of("p.qelm");
    detail::fault_hook = [](detail::Step step) {
        return step == detail::Step::copy_identity ? EIO : 0;
    };
    const auto result = replace_file("p.qelm", pattern(500, 2));
    detail::fault_hook = nullptr;
    EXPECT_EQ(result, std::nullopt);
    EXPECT_EQ(read_bytes("p.qelm"), pattern(500, 2));
    EXPECT_EQ(inode_of("p.qelm"), inode);
    EXPECT_FALSE(has_leftovers());
}

// An old file far larger than any protocol is not read whole into memory; its tail is cut only
// once the new contents are on disk, so a failure before that leaves it whole.
TEST_F(FileIo, AHugeOldFileIsRewrittenInPlaceWithoutReadingItAll) {
    const std::uint64_t huge = detail::in_place_backup_limit + 4096;
    const int fd = ::open("p.qelm", O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, "head", 4, 0), 4);
    ASSERT_EQ(::pwrite(fd, "tail", 4, static_cast<off_t>(huge - 4)), 4);
    ::close(fd);
    ASSERT_EQ(::link("p.qelm", "second"), 0);
    detail::fault_hook = [](detail::Step step) { return step == detail::Step::truncate ? EIO : 0; };
    expect_os_error(replace_file("p.qelm", pattern(100, 2)), EIO, "Uncategorized");
    detail::fault_hook = nullptr;
    std::ifstream in("p.qelm", std::ios::binary);
    char head[4];
    char tail[4];
    in.read(head, 4);
    in.seekg(static_cast<std::streamoff>(huge - 4));
    in.read(tail, 4);
    EXPECT_EQ(std::string(head, 4), "head");
    EXPECT_EQ(std::string(tail, 4), "tail");
    EXPECT_EQ(static_cast<std::uint64_t>(status_of("p.qelm").st_size), huge);
    ASSERT_EQ(replace_file("p.qelm", pattern(100, 2)), std::nullopt);
    EXPECT_EQ(read_bytes("second"), pattern(100, 2));
}

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
