// The file layer of `save` on POSIX when the saver dies: killed at every point where it reaches
// the disk, on each way a save takes, the file then holds the old or the new contents whole
// (once a reader has applied any record), and the next save leaves nothing else behind. Also
// two savers of one file, and a new file that nobody else can open while it is written.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include "fileguard/journal.hpp"
#include "fileio.hpp"
#include "fileio_test_support.hpp"

namespace pyqelm::fileio {
namespace {

std::set<std::string> names_in(const std::string& directory) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

// Handed over in several pieces, so that the child can die between two of them.
class Pieces final : public Contents {
public:
    explicit Pieces(const Bytes& data) : data_(data) {}
    std::uint64_t size() const override { return data_.size(); }
    int produce(Output& out) const override {
        const std::size_t step = data_.size() / 3 + 1;
        for (std::size_t at = 0; at < data_.size(); at += step) {
            const std::size_t count = std::min(step, data_.size() - at);
            if (const int error = out.write(std::span(data_).subspan(at, count)); error != 0) {
                return error;
            }
        }
        return 0;
    }

private:
    const Bytes& data_;
};

// A fresh directory below $TMPDIR (the build's, in the test command) as the working directory.
class Scratch : public ::testing::Test {
protected:
    void SetUp() override {
        const char* base = std::getenv("TMPDIR");
        std::string name =
            std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/fileio-crash-XXXXXX";
        ASSERT_NE(::mkdtemp(name.data()), nullptr);
        dir_ = name;
        old_cwd_ = std::filesystem::current_path();
        std::filesystem::current_path(dir_);
    }
    void TearDown() override {
        detail::fault_hook = nullptr;
        std::filesystem::current_path(old_cwd_);
        std::filesystem::remove_all(dir_);
    }
    std::string dir_;
    std::filesystem::path old_cwd_;
};

struct CrashCase {
    const char* name;
    enum Way { new_file, rename, in_place } way;
    std::size_t old_size;
    std::size_t new_size;
};
class Crashes : public Scratch, public ::testing::WithParamInterface<CrashCase> {
protected:
    static inline int kill_at = 0;
    static inline int reached = 0;
    static int kill_hook(detail::Step) {
        if (++reached == kill_at) ::raise(SIGKILL);
        return 0;
    }
};

TEST_P(Crashes, LeaveTheOldOrTheNewContentsWholeAndNothingElse) {
    const CrashCase& c = GetParam();
    const Bytes old = pattern(c.old_size, 1);
    const Bytes fresh = pattern(c.new_size, 2);
    std::set<std::string> expected_names = {"p.qelm"};
    if (c.way == CrashCase::in_place) expected_names.insert("second");
    int killed = 0;
    int saw_old = 0;
    int saw_new = 0;
    for (int point = 1;; ++point) {
        std::filesystem::remove("p.qelm");
        std::filesystem::remove("second");
        if (c.way != CrashCase::new_file) write_bytes("p.qelm", old);
        if (c.way == CrashCase::in_place) {
            ASSERT_EQ(::link("p.qelm", "second"), 0);
        }
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            kill_at = point;
            detail::fault_hook = kill_hook;
            ::_exit(replace_file("p.qelm", Pieces(fresh)) ? 1 : 0);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        if (!WIFSIGNALED(status)) {  // got past the last point: done
            ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "point " << point;
            EXPECT_EQ(read_bytes("p.qelm"), fresh);
            break;
        }
        ASSERT_EQ(WTERMSIG(status), SIGKILL);
        ++killed;
        // What a reader of this project finds.
        const fileguard::Recovery recovery = fileguard::recover_path("p.qelm");
        EXPECT_NE(recovery.outcome, fileguard::Outcome::failed) << "point " << point;
        // A rewrite cut short is never taken for a later save.
        EXPECT_NE(recovery.outcome, fileguard::Outcome::stale) << "point " << point;
        if (c.way == CrashCase::new_file && !std::filesystem::exists("p.qelm")) {
            ++saw_old;
        } else {
            const Bytes now = read_bytes("p.qelm");
            EXPECT_TRUE(now == old || now == fresh)
                << "point " << point << ": a mix of " << now.size() << " bytes";
            saw_old += now == old ? 1 : 0;
            saw_new += now == fresh ? 1 : 0;
            if (c.way == CrashCase::in_place) {
                EXPECT_EQ(read_bytes("second"), now);
            }
        }
        // The next save leaves the file alone in its directory.
        ASSERT_EQ(replace_file("p.qelm", pattern(5, 3)), std::nullopt);
        EXPECT_EQ(read_bytes("p.qelm"), pattern(5, 3));
        EXPECT_EQ(names_in("."), expected_names) << "point " << point;
        ASSERT_LT(point, 1000);
    }
    RecordProperty("points_killed", killed);
    // Every way passes through several points. A rename is final once done, so a kill after
    // it leaves the new file; a rewrite in place is undone by its record up to the record's
    // removal, the last point.
    EXPECT_GE(killed, 4);
    EXPECT_GT(saw_old, 0);
    if (c.way == CrashCase::rename) {
        EXPECT_GT(saw_new, 0);
    }
    RecordProperty("old_after_kill", saw_old);
    RecordProperty("new_after_kill", saw_new);
}
INSTANTIATE_TEST_SUITE_P(
    Ways, Crashes,
    ::testing::Values(CrashCase{"NewFile", CrashCase::new_file, 0, 70000},
                      CrashCase{"Rename", CrashCase::rename, 90000, 70000},
                      CrashCase{"InPlaceShorter", CrashCase::in_place, 90000, 70000},
                      CrashCase{"InPlaceLonger", CrashCase::in_place, 50000, 70000},
                      CrashCase{"InPlaceSameLength", CrashCase::in_place, 70000, 70000}),
    ByName());

// Two processes saving one path at the same time end with one of the two files, on both ways.
class TwoSavers : public Scratch, public ::testing::WithParamInterface<bool> {};

TEST_P(TwoSavers, EndWithOneOfTheTwoFiles) {
    const bool in_place = GetParam();
    const Bytes first = pattern((2u << 20) + 11, 4);
    const Bytes second = pattern((3u << 20) + 5, 5);
    write_bytes("p.qelm", pattern(100, 6));
    if (in_place) {
        ASSERT_EQ(::link("p.qelm", "other"), 0);
    }
    for (int round = 0; round < 4; ++round) {
        pid_t children[2] = {};
        for (int i = 0; i < 2; ++i) {
            children[i] = ::fork();
            ASSERT_GE(children[i], 0);
            if (children[i] == 0) {
                bool failed = false;
                for (int k = 0; k < 3; ++k) {
                    failed |= replace_file("p.qelm", i == 0 ? first : second).has_value();
                }
                ::_exit(failed ? 1 : 0);
            }
        }
        for (const pid_t child : children) {
            int status = 0;
            ASSERT_EQ(::waitpid(child, &status, 0), child);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        }
        const Bytes now = read_bytes("p.qelm");
        EXPECT_TRUE(now == first || now == second) << "round " << round << ": a mix";
        if (in_place) {
            EXPECT_EQ(read_bytes("other"), now);
        }
    }
    const std::set<std::string> expected =
        in_place ? std::set<std::string>{"p.qelm", "other"} : std::set<std::string>{"p.qelm"};
    EXPECT_EQ(names_in("."), expected);
}
INSTANTIATE_TEST_SUITE_P(Ways, TwoSavers, ::testing::Values(false, true),
                         [](const auto& tested) { return tested.param ? "InPlace" : "Rename"; });

// While the new contents are written, no name in the directory admits anyone but the saver,
// whatever the umask.
class NothingReadable : public Scratch, public ::testing::WithParamInterface<bool> {
protected:
    static inline std::string leaks;
    static int look(detail::Step step) {
        if (step != detail::Step::write && step != detail::Step::rename) return 0;
        for (const auto& entry : std::filesystem::directory_iterator(".")) {
            struct stat st{};
            const std::string name = entry.path().filename().string();
            if (name != "p.qelm" && ::lstat(name.c_str(), &st) == 0 && (st.st_mode & 077) != 0) {
                leaks += name + " ";
            }
        }
        return 0;
    }
};

TEST_P(NothingReadable, WhileTheNewFileIsWritten) {
    if (GetParam()) write_bytes("p.qelm", pattern(10, 1));
    const mode_t old_umask = ::umask(0);
    leaks.clear();
    detail::fault_hook = look;
    const auto result = replace_file("p.qelm", pattern(5000, 2));
    detail::fault_hook = nullptr;
    ::umask(old_umask);
    ASSERT_EQ(result, std::nullopt);
    EXPECT_EQ(leaks, "");
    EXPECT_EQ(names_in("."), std::set<std::string>{"p.qelm"});
}
INSTANTIATE_TEST_SUITE_P(Files, NothingReadable, ::testing::Values(false, true),
                         [](const auto& tested) { return tested.param ? "Existing" : "New"; });

// A record whose checksum does not agree was never complete: it is dropped, never applied.
class RecordOnDisk : public Scratch, public ::testing::WithParamInterface<bool> {};

TEST_P(RecordOnDisk, TornIsDiscardedAndWholeApplied) {
    const bool torn = GetParam();
    const Bytes old = pattern(3000, 1);
    const Bytes fresh = pattern(2000, 2);
    // The new contents written, the old tail not yet cut.
    Bytes mix = old;
    std::copy(fresh.begin(), fresh.end(), mix.begin());
    write_bytes("p.qelm", mix);
    struct stat st{};
    ASSERT_EQ(::stat("p.qelm", &st), 0);
    const Bytes sums = fileguard::encode_sums(fileguard::BlockSums::of(fresh));
    fileguard::Header header;
    header.device = static_cast<std::uint64_t>(st.st_dev);
    header.inode = static_cast<std::uint64_t>(st.st_ino);
    header.old_size = old.size();
    header.new_size = fresh.size();
    header.checksum = fileguard::body_checksum(old, sums);
    const auto head = fileguard::encode_header(header);
    Bytes record(head.begin(), head.end());
    record.insert(record.end(), old.begin(), old.end());
    record.insert(record.end(), sums.begin(), sums.end());
    if (torn) record[fileguard::header_size + 1500] ^= 1;
    const std::string record_name = fileguard::journal_name("p.qelm");
    write_bytes(record_name, record);
    ASSERT_EQ(::chmod(record_name.c_str(), 0600), 0);
    const fileguard::Recovery recovery = fileguard::recover_path("p.qelm");
    EXPECT_EQ(recovery.outcome,
              torn ? fileguard::Outcome::discarded : fileguard::Outcome::recovered);
    EXPECT_EQ(read_bytes("p.qelm"), torn ? mix : old);
    EXPECT_FALSE(std::filesystem::exists(record_name));
}
INSTANTIATE_TEST_SUITE_P(Records, RecordOnDisk, ::testing::Values(false, true),
                         [](const auto& tested) { return tested.param ? "Torn" : "Whole"; });

// A save killed midway through a rewrite in place leaves its record beside the name it used;
// the file is then saved whole through another name of it. A reader of the first name must
// not put the contents of before the crash back over that later save.
struct LaterSave {
    const char* name;
    Bytes (*contents)(const Bytes& old, const Bytes& fresh);
    fileguard::Outcome expected;
};
class StaleRecord : public Scratch, public ::testing::WithParamInterface<LaterSave> {
protected:
    static inline int pieces = 0;
    static int kill_at_second_piece(detail::Step step) {
        if (step == detail::Step::write_piece && ++pieces == 2) ::raise(SIGKILL);
        return 0;
    }
};

TEST_P(StaleRecord, DoesNotUndoALaterSaveThroughAnotherName) {
    const Bytes old = pattern(90000, 1);
    const Bytes fresh = pattern(70000, 2);
    write_bytes("p.qelm", old);
    ASSERT_EQ(::link("p.qelm", "second"), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        detail::fault_hook = kill_at_second_piece;
        ::_exit(replace_file("p.qelm", Pieces(fresh)) ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));
    const std::string record_name = fileguard::journal_name("p.qelm");
    ASSERT_TRUE(std::filesystem::exists(record_name));
    const Bytes torn = read_bytes("second");
    ASSERT_NE(torn, old);
    ASSERT_NE(torn, fresh);

    const Bytes later = GetParam().contents(old, fresh);
    ASSERT_EQ(replace_file("second", later), std::nullopt);
    EXPECT_EQ(fileguard::recover_path("p.qelm").outcome, GetParam().expected);
    EXPECT_EQ(read_bytes("p.qelm"), later);
    EXPECT_EQ(read_bytes("second"), later);
    EXPECT_EQ(names_in("."), (std::set<std::string>{"p.qelm", "second"}));
}
INSTANTIATE_TEST_SUITE_P(
    Saves, StaleRecord,
    ::testing::Values(
        LaterSave{"OtherContents", [](const Bytes&, const Bytes&) { return pattern(80000, 3); },
                  fileguard::Outcome::stale},
        LaterSave{"Longer", [](const Bytes&, const Bytes&) { return pattern(120000, 4); },
                  fileguard::Outcome::stale},
        LaterSave{"Shorter", [](const Bytes&, const Bytes&) { return pattern(1000, 5); },
                  fileguard::Outcome::stale},
        // The old contents with one byte changed, in a block the crash left old.
        LaterSave{"OldWithOneByteChanged",
                  [](const Bytes& old, const Bytes&) {
                      Bytes out = old;
                      out[85000] ^= 0x10;
                      return out;
                  },
                  fileguard::Outcome::stale},
        LaterSave{"TheSameNewContents", [](const Bytes&, const Bytes& fresh) { return fresh; },
                  fileguard::Outcome::completed},
        LaterSave{"TheOldContents", [](const Bytes& old, const Bytes&) { return old; },
                  fileguard::Outcome::recovered}),
    ByName());

// A failure whose undoing fails too says so, and the record settles the file later: the old
// contents go back over a rewrite cut short; a file whose new contents are whole (only the
// flush failed) keeps them.
struct Undone {
    const char* name;
    detail::Step step;  // fails at its pass `pass`, and putting the old contents back fails
    int pass;
    fileguard::Outcome expected;
    bool old_back;
};
class FailedUndo : public Scratch, public ::testing::WithParamInterface<Undone> {
protected:
    static inline detail::Step failing = detail::Step::sync;
    static inline int failing_pass = 1;
    static inline int passes = 0;
    static int fail(detail::Step step) {
        if (step == detail::Step::put_back) return EIO;
        return step == failing && ++passes == failing_pass ? EIO : 0;
    }
};

TEST_P(FailedUndo, LeavesTheRecordAndSaysSo) {
    const Bytes old = pattern(4000, 1);
    const Bytes fresh = pattern(3000, 2);
    write_bytes("p.qelm", old);
    ASSERT_EQ(::link("p.qelm", "second"), 0);  // rewritten in place
    failing = GetParam().step;
    failing_pass = GetParam().pass;
    passes = 0;
    detail::fault_hook = fail;
    const auto result = replace_file("p.qelm", Pieces(fresh));
    detail::fault_hook = nullptr;
    ASSERT_TRUE(result.has_value());
    EXPECT_NE(result->find("its previous contents are kept beside it"), std::string::npos)
        << *result;
    // Found through the name the save used (the record is named after it).
    EXPECT_EQ(fileguard::recover_path("p.qelm").outcome, GetParam().expected);
    EXPECT_EQ(read_bytes("p.qelm"), GetParam().old_back ? old : fresh);
    EXPECT_EQ(names_in("."), (std::set<std::string>{"p.qelm", "second"}));
}
INSTANTIATE_TEST_SUITE_P(Steps, FailedUndo,
                         ::testing::Values(Undone{"WriteMidway", detail::Step::write_piece, 2,
                                                  fileguard::Outcome::recovered, true},
                                           Undone{"Flush", detail::Step::sync, 1,
                                                  fileguard::Outcome::completed, false}),
                         ByName());

}  // namespace
}  // namespace pyqelm::fileio
