#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <vector>

#include "base/wide_text_win.h"
#include "support/child_process.h"
#include "support/running_program.h"
#include "support/test_env.h"
#include "sys/error_code.h"
#include "sys/files.h"

namespace velora::sys {
namespace {

namespace fs = std::filesystem;
using castmill::test::read_file;
using castmill::test::TempDir;
using castmill::test::write_file;

// The files the system deletes or renames at the next restart, as it records them.
std::vector<std::wstring> pending_renames() {
    const wchar_t* key = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
    DWORD size = 0;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, key, L"PendingFileRenameOperations", RRF_RT_REG_MULTI_SZ,
                     nullptr, nullptr, &size) != ERROR_SUCCESS)
        return {};
    std::wstring data(size / sizeof(wchar_t) + 1, L'\0');
    if (RegGetValueW(HKEY_LOCAL_MACHINE, key, L"PendingFileRenameOperations", RRF_RT_REG_MULTI_SZ,
                     nullptr, data.data(), &size) != ERROR_SUCCESS)
        return {};
    // Pairs of strings, source and target; an empty target means deletion.
    data.resize(size / sizeof(wchar_t));
    std::vector<std::wstring> entries;
    for (size_t at = 0; at < data.size();) {
        const size_t end = std::min(data.find(L'\0', at), data.size());
        entries.push_back(data.substr(at, end - at));
        at = end + 1;
    }
    return entries;
}

TEST(FilesOnWindows, CopyOntoARunningProgramIsASharingViolation) {
    TempDir tmp;
    const fs::path program = tmp / "app.exe";
    fs::copy_file(castmill::test::test_program("idle_program"), program);
    castmill::test::RunningProgram running(program);
    ASSERT_EQ(running.exchange("hi"), "hi");
    write_file(tmp / "new.exe", "new program");

    EXPECT_EQ(copy_file(tmp / "new.exe", program, true), kErrorSharingViolation);
    EXPECT_EQ(running.exchange("still"), "still");
    // What the in-use handling does next: the running file can be renamed away.
    EXPECT_EQ(rename_no_replace(program, tmp / "app.exe.deleteme"), kErrorSuccess);
    EXPECT_EQ(copy_file(tmp / "new.exe", program, true), kErrorSuccess);
    EXPECT_EQ(read_file(program), "new program");
}

TEST(FilesOnWindows, CopyOntoAFileAnotherProgramMapsIsUserMapped) {
    TempDir tmp;
    write_file(tmp / "mapped.dll", "mapped");
    write_file(tmp / "new.dll", "new");
    castmill::test::ChildProcess mapper(
        castmill::test::test_program("proc_helper"),
        {"sleep", (tmp / "ready").string(), "--map", (tmp / "mapped.dll").string()});
    ASSERT_TRUE(mapper.wait_for_file(tmp / "ready"));
    EXPECT_EQ(copy_file(tmp / "new.dll", tmp / "mapped.dll", true), kErrorUserMappedFile);
    EXPECT_EQ(read_file(tmp / "mapped.dll"), "mapped");
}

TEST(FilesOnWindows, FailuresCarryTheSystemsOwnCodes) {
    TempDir tmp;
    write_file(tmp / "a", "a");
    write_file(tmp / "b", "b");
    EXPECT_EQ(rename_no_replace(tmp / "a", tmp / "b"), kErrorAlreadyExists);
    EXPECT_EQ(read_file(tmp / "b"), "b");
    EXPECT_EQ(rename_no_replace(tmp / "no/such/a", tmp / "c"), kErrorPathNotFound);
    EXPECT_EQ(copy_file(tmp / "a", tmp / "no/such/dir/file", true), kErrorPathNotFound);
}

TEST(FilesOnWindows, DeleteAtRebootRecordsTheFileAndLeavesItForNow) {
    TempDir tmp;
    const fs::path file = tmp / "held.dll";
    write_file(file, "held");

    ASSERT_TRUE(delete_at_reboot(file));
    EXPECT_EQ(read_file(file), "held");
    // Recorded as the NT path of the file followed by an empty target.
    const std::vector<std::wstring> pending = pending_renames();
    const std::wstring name = L"\\??\\" + fs::path(file).make_preferred().wstring();
    bool recorded = false;
    for (size_t i = 0; i + 1 < pending.size(); i += 2) {
        if (CompareStringOrdinal(pending[i].c_str(), -1, name.c_str(), -1, TRUE) == CSTR_EQUAL)
            recorded = recorded || pending[i + 1].empty();
    }
    EXPECT_TRUE(recorded) << narrow(name);
}

}  // namespace
}  // namespace velora::sys
