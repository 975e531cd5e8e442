// The file layer of `save` on Windows: replaced contents, paths beyond the classic 260-unit limit,
// the descriptions of failures (codes, kinds and form; the system's texts differ between Windows
// and wine, so they are not pinned) and old contents that survive a failed save.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

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

// Every helper goes through the extended-length form, so it reaches long paths too.
std::wstring ext(const std::wstring& absolute) { return L"\\\\?\\" + absolute; }

bool read_bytes(const std::wstring& path, Bytes& out) {
    const HANDLE file = ::CreateFileW(ext(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    out.assign(1 << 20, 0);
    DWORD got = 0;
    const BOOL ok = ::ReadFile(file, out.data(), static_cast<DWORD>(out.size()), &got, nullptr);
    ::CloseHandle(file);
    out.resize(got);
    return ok != 0;
}

void write_bytes(const std::wstring& path, const Bytes& data) {
    const HANDLE file = ::CreateFileW(ext(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ASSERT_TRUE(::WriteFile(file, data.data(), static_cast<DWORD>(data.size()), &written, nullptr));
    ::CloseHandle(file);
}

std::vector<std::wstring> names_in(const std::wstring& directory) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found{};
    const HANDLE search = ::FindFirstFileW(ext(directory + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
        const std::wstring name = found.cFileName;
        if (name != L"." && name != L"..") names.push_back(name);
    } while (::FindNextFileW(search, &found));
    ::FindClose(search);
    return names;
}

void remove_tree(const std::wstring& path) {
    for (const auto& name : names_in(path)) {
        const std::wstring child = path + L"\\" + name;
        const DWORD attributes = ::GetFileAttributesW(ext(child).c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            remove_tree(child);
        } else {
            ::SetFileAttributesW(ext(child).c_str(), FILE_ATTRIBUTE_NORMAL);
            ::DeleteFileW(ext(child).c_str());
        }
    }
    ::RemoveDirectoryW(ext(path).c_str());
}

void expect_os_error(const std::optional<std::string>& result, int code, const char* kind) {
    ASSERT_TRUE(result.has_value());
    // The form of the description: the code, its kind and the system's text, quoted.
    const std::regex form("Os \\{ code: " + std::to_string(code) + ", kind: " + kind +
                          ", message: \"([^\"\\\\]|\\\\.)*[^ \\\\\"]\" \\}");
    EXPECT_TRUE(std::regex_match(*result, form)) << *result;
}

// Each test in a fresh directory under the system's temporary folder.
class FileIo : public ::testing::Test {
protected:
    void SetUp() override {
        wchar_t base[MAX_PATH + 1];
        ASSERT_GT(::GetTempPathW(MAX_PATH + 1, base), 0u);
        dir_ = std::wstring(base) + L"fileio-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
               std::to_wstring(::GetTickCount64());
        ASSERT_TRUE(::CreateDirectoryW(dir_.c_str(), nullptr));
    }
    void TearDown() override { remove_tree(dir_); }

    std::wstring dir_;
};

TEST_F(FileIo, ReplacesContentsAndLeavesNoTemporaryFile) {
    const std::wstring target = dir_ + L"\\p.qelm";
    for (std::size_t size : {0u, 201u, 70000u, 5u}) {
        const Bytes data = pattern(size, static_cast<unsigned>(size));
        EXPECT_EQ(replace_file(narrow(target), data), std::nullopt);
        Bytes back;
        ASSERT_TRUE(read_bytes(target, back));
        EXPECT_EQ(back, data);
        EXPECT_EQ(names_in(dir_), std::vector<std::wstring>{L"p.qelm"});
    }
}

TEST_F(FileIo, HiddenMarkOfTheReplacedFileStays) {
    const std::wstring target = dir_ + L"\\hidden.qelm";
    write_bytes(target, pattern(10, 1));
    ASSERT_TRUE(::SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_HIDDEN));
    EXPECT_EQ(replace_file(narrow(target), pattern(3, 2)), std::nullopt);
    EXPECT_TRUE(::GetFileAttributesW(target.c_str()) & FILE_ATTRIBUTE_HIDDEN);
}

// A path of more than 260 UTF-16 units: the target, and the longer temporary name beside it.
// Each component stays within the file systems' 255-unit limit.
TEST_F(FileIo, PathsBeyondTheClassicLimit) {
    std::wstring directory = dir_;
    while (directory.size() < 200) {
        directory += L"\\" + std::wstring(60, L'd');
        ASSERT_TRUE(::CreateDirectoryW(ext(directory).c_str(), nullptr));
    }
    const std::wstring name = std::wstring(300 - directory.size() - 1 - 5, L'n') + L".qelm";
    const std::wstring target = directory + L"\\" + name;
    ASSERT_EQ(target.size(), 300u);
    write_bytes(target, pattern(5000, 3));
    const Bytes data = pattern(201, 4);
    EXPECT_EQ(replace_file(narrow(target), data), std::nullopt);
    Bytes back;
    ASSERT_TRUE(read_bytes(target, back));
    EXPECT_EQ(back, data);
    EXPECT_EQ(names_in(directory), std::vector<std::wstring>{name});
    // A new file at such a path, and one given with forward slashes.
    std::wstring slashed = directory + L"/new.qelm";
    for (auto& unit : slashed) {
        if (unit == L'\\') unit = L'/';
    }
    EXPECT_EQ(replace_file(narrow(slashed), data), std::nullopt);
    ASSERT_TRUE(read_bytes(directory + L"\\new.qelm", back));
    EXPECT_EQ(back, data);
}

TEST_F(FileIo, NulInThePathFailsBeforeTouchingTheDisk) {
    const std::string path = narrow(dir_) + std::string("\\a\0b.qelm", 9);
    EXPECT_EQ(replace_file(path, pattern(3, 0)),
              "Error { kind: InvalidInput, message: \"strings passed to WinAPI cannot contain "
              "NULs\" }");
    EXPECT_TRUE(names_in(dir_).empty());
}

TEST_F(FileIo, MissingDirectoryIsNotFound) {
    expect_os_error(replace_file(narrow(dir_) + "\\missing\\p.qelm", pattern(3, 0)), 3, "NotFound");
    EXPECT_TRUE(names_in(dir_).empty());
}

TEST_F(FileIo, RefusedTargetsKeepTheirContents) {
    // A directory and a read-only file: both refuse a writer, as a direct open would.
    const std::wstring directory = dir_ + L"\\adir.qelm";
    ASSERT_TRUE(::CreateDirectoryW(directory.c_str(), nullptr));
    expect_os_error(replace_file(narrow(directory), pattern(3, 0)), 5, "PermissionDenied");

    const std::wstring read_only = dir_ + L"\\ro.qelm";
    const Bytes old = pattern(100, 5);
    write_bytes(read_only, old);
    ASSERT_TRUE(::SetFileAttributesW(read_only.c_str(), FILE_ATTRIBUTE_READONLY));
    expect_os_error(replace_file(narrow(read_only), pattern(3, 0)), 5, "PermissionDenied");
    Bytes back;
    ASSERT_TRUE(read_bytes(read_only, back));
    EXPECT_EQ(back, old);
    EXPECT_EQ(names_in(dir_).size(), 2u);
}

TEST_F(FileIo, EveryNameOfTheFileSeesTheNewContents) {
    const std::wstring target = dir_ + L"\\p.qelm";
    const std::wstring other = dir_ + L"\\other.qelm";
    write_bytes(target, pattern(5000, 1));
    ASSERT_TRUE(::CreateHardLinkW(other.c_str(), target.c_str(), nullptr));
    for (std::size_t size : {201u, 9000u}) {
        const Bytes data = pattern(size, 2);
        EXPECT_EQ(replace_file(narrow(target), data), std::nullopt);
        Bytes back;
        ASSERT_TRUE(read_bytes(other, back));
        EXPECT_EQ(back, data);
    }
    EXPECT_EQ(names_in(dir_).size(), 2u);
}

// Each point of a save made to fail: the old file stays as it was under every name, and no
// temporary file is left.
detail::Step failing_step = detail::Step::write;
int fail_at(detail::Step step) { return step == failing_step ? ERROR_DISK_FULL : 0; }

struct FaultCase {
    const char* name;
    detail::Step step;
    bool second_name;  // another name of the file: rewritten in place
    std::size_t new_size;
};

class SaveFault : public FileIo, public ::testing::WithParamInterface<FaultCase> {
protected:
    void TearDown() override {
        detail::fault_hook = nullptr;
        FileIo::TearDown();
    }
};

TEST_P(SaveFault, OldFileStaysAndNoTemporaryFileIsLeft) {
    const std::wstring target = dir_ + L"\\p.qelm";
    const Bytes old = pattern(5000, 7);
    write_bytes(target, old);
    if (GetParam().second_name) {
        ASSERT_TRUE(::CreateHardLinkW((dir_ + L"\\q.qelm").c_str(), target.c_str(), nullptr));
    }
    const auto before = names_in(dir_);
    failing_step = GetParam().step;
    detail::fault_hook = fail_at;
    const auto result = replace_file(narrow(target), pattern(GetParam().new_size, 8));
    detail::fault_hook = nullptr;
    expect_os_error(result, ERROR_DISK_FULL, "StorageFull");
    for (const auto& name : before) {
        Bytes back;
        ASSERT_TRUE(read_bytes(dir_ + L"\\" + name, back));
        EXPECT_EQ(back, old);
    }
    EXPECT_EQ(names_in(dir_), before);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, SaveFault,
    ::testing::Values(FaultCase{"CreateTemp", detail::Step::create_temp, false, 201},
                      FaultCase{"WriteTemp", detail::Step::write, false, 201},
                      FaultCase{"SyncTemp", detail::Step::sync, false, 201},
                      FaultCase{"Replace", detail::Step::rename, false, 201},
                      FaultCase{"ReadOld", detail::Step::read_old, true, 201},
                      FaultCase{"Reserve", detail::Step::reserve, true, 9000},
                      FaultCase{"WriteInPlace", detail::Step::write, true, 9000},
                      FaultCase{"Truncate", detail::Step::truncate, true, 201},
                      FaultCase{"SyncInPlace", detail::Step::sync, true, 201}),
    ByName());

// The system's replace refused (a reader that does not share deletion): the file is rewritten
// in place instead, and a new file that cannot be moved into place leaves nothing behind.
TEST_F(FileIo, RefusedReplaceRewritesInPlace) {
    const std::wstring target = dir_ + L"\\p.qelm";
    write_bytes(target, pattern(5000, 1));
    detail::fault_hook = [](detail::Step step) -> int {
        return step == detail::Step::copy_identity ? ERROR_SHARING_VIOLATION : 0;
    };
    const Bytes data = pattern(201, 3);
    const auto result = replace_file(narrow(target), data);
    detail::fault_hook = nullptr;
    EXPECT_EQ(result, std::nullopt);
    Bytes back;
    ASSERT_TRUE(read_bytes(target, back));
    EXPECT_EQ(back, data);
    EXPECT_EQ(names_in(dir_), std::vector<std::wstring>{L"p.qelm"});

    detail::fault_hook = [](detail::Step step) -> int {
        return step == detail::Step::rename ? ERROR_DISK_FULL : 0;
    };
    const auto fresh = replace_file(narrow(dir_ + L"\\new.qelm"), data);
    detail::fault_hook = nullptr;
    expect_os_error(fresh, ERROR_DISK_FULL, "StorageFull");
    EXPECT_EQ(names_in(dir_), std::vector<std::wstring>{L"p.qelm"});
}

struct PathCase {
    const char* name;
    std::wstring given;
    std::wstring expected;
};

class PathForSystem : public ::testing::TestWithParam<PathCase> {};

TEST_P(PathForSystem, UsesTheExtendedFormOnlyBeyondTheLimit) {
    EXPECT_EQ(detail::path_for_system(GetParam().given), GetParam().expected);
}

const std::wstring long_name(280, L'x');
INSTANTIATE_TEST_SUITE_P(
    Cases, PathForSystem,
    ::testing::Values(
        PathCase{"Short", L"C:\\a/b.qelm", L"C:\\a/b.qelm"},
        PathCase{"LongDrivePath", L"C:\\d\\" + long_name, L"\\\\?\\C:\\d\\" + long_name},
        PathCase{"SlashesAndDots", L"C:/d/./e/../" + long_name, L"\\\\?\\C:\\d\\" + long_name},
        PathCase{"Share", L"\\\\server\\share\\" + long_name,
                 L"\\\\?\\UNC\\server\\share\\" + long_name},
        PathCase{"AlreadyExtended", L"\\\\?\\C:\\" + long_name, L"\\\\?\\C:\\" + long_name}),
    ByName());

// A short relative name in a deep current directory: the full path is what counts.
TEST_F(FileIo, ShortRelativeNameInADeepDirectory) {
    std::wstring directory = dir_;
    while (directory.size() < 200) {
        directory += L"\\" + std::wstring(40, L'c');
        ASSERT_TRUE(::CreateDirectoryW(directory.c_str(), nullptr));
    }
    wchar_t old_cwd[32768];
    ASSERT_GT(::GetCurrentDirectoryW(32768, old_cwd), 0u);
    ASSERT_TRUE(::SetCurrentDirectoryW(directory.c_str()));
    const std::wstring name = std::wstring(80, L'r') + L".qelm";
    const std::wstring converted = detail::path_for_system(name);
    const std::optional<std::string> result = replace_file(narrow(name), pattern(201, 6));
    ::SetCurrentDirectoryW(old_cwd);
    EXPECT_EQ(converted, L"\\\\?\\" + directory + L"\\" + name);
    EXPECT_EQ(result, std::nullopt);
    Bytes back;
    ASSERT_TRUE(read_bytes(directory + L"\\" + name, back));
    EXPECT_EQ(back, pattern(201, 6));
}

TEST(PathForSystemRelative, BecomesAbsolute) {
    wchar_t cwd[32768];
    const DWORD length = ::GetCurrentDirectoryW(32768, cwd);
    ASSERT_GT(length, 0u);
    std::wstring expected = L"\\\\?\\" + std::wstring(cwd, length);
    if (expected.back() != L'\\') expected += L'\\';
    EXPECT_EQ(detail::path_for_system(long_name), expected + long_name);
}

class ErrorKind : public ::testing::TestWithParam<std::pair<int, const char*>> {};
TEST_P(ErrorKind, Maps) { EXPECT_EQ(detail::os_error_kind(GetParam().first), GetParam().second); }
INSTANTIATE_TEST_SUITE_P(
    Codes, ErrorKind,
    ::testing::Values(std::pair{2, "NotFound"}, std::pair{3, "NotFound"},
                      std::pair{5, "PermissionDenied"}, std::pair{39, "StorageFull"},
                      std::pair{112, "StorageFull"}, std::pair{80, "AlreadyExists"},
                      std::pair{183, "AlreadyExists"}, std::pair{123, "InvalidFilename"},
                      std::pair{161, "InvalidFilename"}, std::pair{206, "InvalidFilename"},
                      std::pair{336, "IsADirectory"}, std::pair{0, "Uncategorized"},
                      std::pair{1, "Uncategorized"}, std::pair{99999, "Uncategorized"}));

TEST(DescribeOsError, SystemTextLosesItsLineBreakAndIsQuoted) {
    const std::wstring text = L"Say \"no\"\tthen\r\n \r\n";
    EXPECT_EQ(detail::describe_os_error(5, text.data(), text.size(), 0),
              "Os { code: 5, kind: PermissionDenied, message: \"Say \\\"no\\\"\\tthen\" }");
    expect_os_error(detail::describe_os_error(2), 2, "NotFound");
}

TEST(DescribeOsError, FallbackTexts) {
    EXPECT_EQ(detail::describe_os_error(4242, nullptr, 0, 317),
              "Os { code: 4242, kind: Uncategorized, message: \"OS Error 4242 "
              "(FormatMessageW() returned error 317)\" }");
    const wchar_t lone[] = {L'a', static_cast<wchar_t>(0xD800), L'b'};
    EXPECT_EQ(detail::describe_os_error(3, lone, 3, 0),
              "Os { code: 3, kind: NotFound, message: \"OS Error 3 (FormatMessageW() returned "
              "invalid UTF-16)\" }");
    // A code the system has no text for takes the first fallback, whatever the lookup's error.
    const std::regex no_text(
        "Os \\{ code: 1073741823, kind: Uncategorized, message: \"OS Error 1073741823 "
        "\\(FormatMessageW\\(\\) returned error [1-9][0-9]*\\)\" \\}");
    const std::string described = detail::describe_os_error(0x3FFFFFFF);
    EXPECT_TRUE(std::regex_match(described, no_text)) << described;
}

}  // namespace
}  // namespace pyqelm::fileio
