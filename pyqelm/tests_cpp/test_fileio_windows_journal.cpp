// The record and the lock of the Windows file layer: a failed rewrite in place that cannot be
// undone leaves a record that the readers apply; a record left from before a later save
// through another name of the file is not; savers take turns on both ways of saving, and one
// that waited saves the file the path names once it has the lock.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "fileguard/journal.hpp"
#include "fileio.hpp"
#include "fileio_test_support.hpp"
#include "protocols/win32.hpp"

namespace pyqelm::fileio {
namespace {

std::string narrow(const std::wstring& wide) {
    const int length = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                             nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(length), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(),
                          length, nullptr, nullptr);
    return out;
}

Bytes read_all(const std::wstring& path) {
    const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return {};
    Bytes out(4 << 20);
    DWORD got = 0;
    ::ReadFile(file, out.data(), static_cast<DWORD>(out.size()), &got, nullptr);
    ::CloseHandle(file);
    out.resize(got);
    return out;
}

void write_all(const std::wstring& path, const Bytes& data) {
    const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ASSERT_TRUE(::WriteFile(file, data.data(), static_cast<DWORD>(data.size()), &written, nullptr));
    ::CloseHandle(file);
}

bool exists(const std::wstring& path) {
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

class Journal : public ::testing::Test {
protected:
    void SetUp() override {
        wchar_t base[MAX_PATH + 1];
        ASSERT_GT(::GetTempPathW(MAX_PATH + 1, base), 0u);
        static std::atomic<int> count{0};
        dir_ = std::wstring(base) + L"journal-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
               std::to_wstring(::GetTickCount64()) + L"-" + std::to_wstring(++count);
        ASSERT_TRUE(::CreateDirectoryW(dir_.c_str(), nullptr));
        target_ = dir_ + L"\\p.qelm";
        second_ = dir_ + L"\\q.qelm";
        record_ = dir_ + L"\\.p.qelm.journal";
    }
    void TearDown() override {
        detail::fault_hook = nullptr;
        WIN32_FIND_DATAW found{};
        const HANDLE search = ::FindFirstFileW((dir_ + L"\\*").c_str(), &found);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                const std::wstring path = dir_ + L"\\" + found.cFileName;
                ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                ::DeleteFileW(path.c_str());
            } while (::FindNextFileW(search, &found));
            ::FindClose(search);
        }
        ::RemoveDirectoryW(dir_.c_str());
    }
    // A rewrite in place (the file has a second name) to shorter contents that fails when
    // cutting the old tail, and again when putting the old contents back: the record stays.
    void leave_a_record(const Bytes& old, const Bytes& fresh) {
        write_all(target_, old);
        ASSERT_TRUE(::CreateHardLinkW(second_.c_str(), target_.c_str(), nullptr));
        detail::fault_hook = [](detail::Step step) -> int {
            return step == detail::Step::truncate || step == detail::Step::put_back
                       ? ERROR_DISK_FULL
                       : 0;
        };
        const auto result = replace_file(narrow(target_), fresh);
        detail::fault_hook = nullptr;
        ASSERT_TRUE(result.has_value());
        // Said truthfully: the file is not as it was, and what puts it back.
        EXPECT_NE(result->find("kind: StorageFull"), std::string::npos) << *result;
        EXPECT_NE(result->find("its previous contents are kept beside it"), std::string::npos)
            << *result;
        ASSERT_TRUE(exists(record_));
        EXPECT_TRUE(::GetFileAttributesW(record_.c_str()) & FILE_ATTRIBUTE_HIDDEN);
    }

    std::wstring dir_, target_, second_, record_;
};

TEST_F(Journal, AFailureThatCannotBeUndoneIsUndoneByTheNextReader) {
    const Bytes old = pattern(5000, 1);
    leave_a_record(old, pattern(3000, 2));
    EXPECT_NE(read_all(target_), old);
    // Through the UTF-8 path, as qelmfile.load hands it over.
    EXPECT_EQ(fileguard::recover_path(narrow(target_)).outcome, fileguard::Outcome::recovered);
    EXPECT_EQ(read_all(target_), old);
    EXPECT_EQ(read_all(second_), old);
    EXPECT_FALSE(exists(record_));
    EXPECT_EQ(fileguard::recover_path(target_).outcome, fileguard::Outcome::none);
}

TEST_F(Journal, TheNextSaveUndoesItFirstAndLeavesNoRecord) {
    const Bytes old = pattern(5000, 1);
    leave_a_record(old, pattern(3000, 2));
    const Bytes later = pattern(4000, 3);
    EXPECT_EQ(replace_file(narrow(target_), later), std::nullopt);
    EXPECT_EQ(read_all(second_), later);
    EXPECT_FALSE(exists(record_));
}

// The file saved whole through its other name after the failure: the record beside the first
// name is stale, unless the later save wrote what it was about.
struct Later {
    const char* name;
    bool same_as_failed;
    fileguard::Outcome expected;
};
class StaleRecord : public Journal, public ::testing::WithParamInterface<Later> {};

TEST_P(StaleRecord, DoesNotUndoALaterSaveThroughAnotherName) {
    const Bytes old = pattern(5000, 1);
    const Bytes fresh = pattern(3000, 2);
    leave_a_record(old, fresh);
    const Bytes later = GetParam().same_as_failed ? fresh : pattern(4500, 3);
    ASSERT_EQ(replace_file(narrow(second_), later), std::nullopt);
    EXPECT_EQ(fileguard::recover_path(target_).outcome, GetParam().expected);
    EXPECT_EQ(read_all(target_), later);
    EXPECT_FALSE(exists(record_));
}
INSTANTIATE_TEST_SUITE_P(Saves, StaleRecord,
                         ::testing::Values(Later{"OtherContents", false, fileguard::Outcome::stale},
                                           Later{"TheContentsOfTheFailedSave", true,
                                                 fileguard::Outcome::completed}),
                         ByName());

// While another holder has the savers' lock, a save waits, on either way of saving; the file
// a waiting saver ends up writing is the one the path names once it has the lock.
struct Waiting {
    const char* name;
    bool in_place;            // the file has a second name
    bool replaced_meanwhile;  // another file put at the path while the saver waits
};
class Lock : public Journal, public ::testing::WithParamInterface<Waiting> {};

TEST_P(Lock, SaversWaitAndThenSaveTheFileThePathNames) {
    write_all(target_, pattern(5000, 1));
    if (GetParam().in_place) {
        ASSERT_TRUE(::CreateHardLinkW(second_.c_str(), target_.c_str(), nullptr));
    }
    const HANDLE held = ::CreateFileW(target_.c_str(), GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    ASSERT_EQ(fileguard::lock(held), 0);
    const Bytes data = pattern(3000, 2);
    std::atomic<bool> done{false};
    std::optional<std::string> result;
    std::thread saver([&] {
        result = replace_file(narrow(target_), data);
        done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(done.load()) << "saved without the lock";
    // Moved away (an open file that shares deletion may be) and another file made at the path.
    bool moved = true;
    if (GetParam().replaced_meanwhile) {
        moved = ::MoveFileExW(target_.c_str(), (dir_ + L"\\moved.qelm").c_str(), 0) != 0;
        if (moved) write_all(target_, pattern(7000, 4));
    }
    ::CloseHandle(held);  // lets go of the lock
    saver.join();
    ASSERT_TRUE(moved);
    EXPECT_EQ(result, std::nullopt);
    EXPECT_EQ(read_all(target_), data);
    if (GetParam().in_place) {
        // The other name keeps the file the saver did not write, whole.
        EXPECT_EQ(read_all(second_), GetParam().replaced_meanwhile ? pattern(5000, 1) : data);
    }
    if (GetParam().replaced_meanwhile) {
        EXPECT_EQ(read_all(dir_ + L"\\moved.qelm"), pattern(5000, 1));
    }
}
INSTANTIATE_TEST_SUITE_P(Ways, Lock,
                         ::testing::Values(Waiting{"Replace", false, false},
                                           Waiting{"InPlace", true, false},
                                           Waiting{"ReplaceAfterTheFileWasReplaced", false, true},
                                           Waiting{"InPlaceAfterTheFileWasReplaced", true, true}),
                         ByName());

std::uint64_t file_index(const std::wstring& path) {
    const HANDLE file =
        ::CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, 0, nullptr);
    BY_HANDLE_FILE_INFORMATION info{};
    const BOOL got = ::GetFileInformationByHandle(file, &info);
    ::CloseHandle(file);
    return got ? (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow : 0;
}

// The saver's own locked handle on the old file does not keep the system's replace from
// putting a new file in its place: a file with one name is replaced, one with two rewritten.
class Way : public Journal, public ::testing::WithParamInterface<bool> {};
TEST_P(Way, IsReplaceForOneNameAndInPlaceForTwo) {
    write_all(target_, pattern(5000, 1));
    if (GetParam()) {
        ASSERT_TRUE(::CreateHardLinkW(second_.c_str(), target_.c_str(), nullptr));
    }
    const std::uint64_t before = file_index(target_);
    ASSERT_NE(before, 0u);
    ASSERT_EQ(replace_file(narrow(target_), pattern(3000, 2)), std::nullopt);
    EXPECT_EQ(read_all(target_), pattern(3000, 2));
    if (GetParam()) {
        EXPECT_EQ(file_index(target_), before);
    } else {
        EXPECT_NE(file_index(target_), before);
    }
}
INSTANTIATE_TEST_SUITE_P(Names, Way, ::testing::Values(false, true),
                         [](const auto& tested) { return tested.param ? "Two" : "One"; });

// Savers in several threads at once end with one of their files, whole, and nothing beside it.
class Rivals : public Journal, public ::testing::WithParamInterface<bool> {};

TEST_P(Rivals, EndWithOneWholeFile) {
    write_all(target_, pattern(100, 6));
    if (GetParam()) {
        ASSERT_TRUE(::CreateHardLinkW(second_.c_str(), target_.c_str(), nullptr));
    }
    const Bytes first = pattern((1u << 20) + 11, 4);
    const Bytes second = pattern((1u << 19) + 5, 5);
    std::vector<std::string> failures[3];
    std::vector<std::thread> savers;
    for (int i = 0; i < 3; ++i) {
        savers.emplace_back([&, i] {
            for (int k = 0; k < 4; ++k) {
                if (auto failed = replace_file(narrow(target_), i % 2 == 0 ? first : second)) {
                    failures[i].push_back(*failed);
                }
            }
        });
    }
    for (auto& saver : savers) saver.join();
    for (const auto& failed : failures) {
        EXPECT_TRUE(failed.empty()) << failed.front();
    }
    const Bytes now = read_all(target_);
    EXPECT_TRUE(now == first || now == second) << "a mix of " << now.size() << " bytes";
    if (GetParam()) {
        EXPECT_EQ(read_all(second_), now);
    }
    EXPECT_FALSE(exists(record_));
}
INSTANTIATE_TEST_SUITE_P(Ways, Rivals, ::testing::Values(false, true),
                         [](const auto& tested) { return tested.param ? "InPlace" : "Replace"; });

}  // namespace
}  // namespace pyqelm::fileio
