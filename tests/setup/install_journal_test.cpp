#include "setup/install_journal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "support/immutable_flag.h"
#include "support/log_capture.h"
#include "support/sample_suite.h"
#include "support/test_env.h"
#include "sys/error_code.h"
#include "sys/files.h"

namespace velora::st {
namespace {

namespace fs = std::filesystem;
using castmill::test::file_tree;
using castmill::test::ImmutableFlag;
using castmill::test::LogCapture;
using castmill::test::TempDir;
using castmill::test::write_file;
using Tree = std::map<std::string, std::string>;

const Tree kOld = {{"VeloraBrowser/chrome.exe", "browser 1"}, {"Pcid/pcid.dat", "id"}};
const Tree kNew = {{"VeloraBrowser/chrome.exe", "browser 2"}, {"Update/setup.data", "2"}};

// Each case lays out the folders as a run left them at one moment, recovers, and expects a
// complete tree at the install folder and nothing else beside it.
class RecoveryTest : public ::testing::Test {
protected:
    fs::path install() const { return tmp / "Castmill"; }
    fs::path old_tree() const { return tmp / "Castmill.deleteme"; }
    fs::path new_tree() const { return tmp / "Castmill.staging"; }

    static void lay(const fs::path& root, const Tree& tree) {
        for (const auto& [path, content] : tree) write_file(root / path, content);
    }

    void journal(JournalStep step, std::vector<ReplacedFile> replaced = {}) {
        ASSERT_TRUE(
            write_journal(install(), {step, "Castmill.deleteme", "Castmill.staging", replaced}));
    }

    // What lies beside the install folder once recovery is done.
    std::vector<std::string> siblings() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(tmp.path()))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    TempDir tmp;
    LogCapture log;
};

TEST_F(RecoveryTest, JournalRoundTripsAndAnUnreadableOneIsIgnored) {
    journal(JournalStep::kInPlace, {{"a/b.dll", "a/b.dll.x1y2z3.deleteme"}, {"c.txt", ""}});
    const auto read = read_journal(install());
    ASSERT_TRUE(read);
    EXPECT_EQ(read->step, JournalStep::kInPlace);
    EXPECT_EQ(read->old_name, "Castmill.deleteme");
    ASSERT_EQ(read->replaced.size(), 2u);
    EXPECT_EQ(read->replaced[0].backup, "a/b.dll.x1y2z3.deleteme");
    EXPECT_EQ(read->replaced[1].backup, "");

    // A journal can only name siblings and paths inside the install folder.
    write_file(journal_path(install()),
               R"({"step":"switching","old":"../../etc","new":"Castmill.staging"})");
    EXPECT_FALSE(read_journal(install()));
    write_file(
        journal_path(install()),
        R"({"step":"in-place","old":"a","new":"b","replaced":[{"path":"../x","backup":""}]})");
    ASSERT_TRUE(read_journal(install()));
    EXPECT_TRUE(read_journal(install())->replaced.empty());
    write_file(journal_path(install()), "{\"step\":");
    EXPECT_FALSE(read_journal(install()));
}

TEST_F(RecoveryTest, SwitchNotBegunKeepsTheLiveTreeAndDropsTheNewOne) {
    lay(install(), kOld);
    lay(new_tree(), kNew);
    journal(JournalStep::kSwitching);
    recover_interrupted_install(install());
    EXPECT_EQ(file_tree(install()), kOld);
    EXPECT_EQ(siblings(), std::vector<std::string>{"Castmill"});
}

TEST_F(RecoveryTest, HalfDoneSwitchBringsTheOldTreeBackOverTheEmptyFolderStartUpMade) {
    lay(old_tree(), kOld);
    lay(new_tree(), kNew);
    fs::create_directories(install());
    journal(JournalStep::kSwitching);
    recover_interrupted_install(install());
    EXPECT_EQ(file_tree(install()), kOld);
    EXPECT_EQ(siblings(), std::vector<std::string>{"Castmill"});
}

TEST_F(RecoveryTest, UncommittedSwitchIsUndoneEvenWhenBothRenamesHappened) {
    lay(old_tree(), kOld);
    lay(install(), kNew);
    journal(JournalStep::kSwitching);
    recover_interrupted_install(install());
    EXPECT_EQ(file_tree(install()), kOld);
    EXPECT_EQ(siblings(), std::vector<std::string>{"Castmill"});
}

TEST_F(RecoveryTest, WithTheOldTreeGoneTheCompleteNewOneIsSwitchedIn) {
    lay(new_tree(), kNew);
    journal(JournalStep::kSwitching);
    recover_interrupted_install(install());
    EXPECT_EQ(file_tree(install()), kNew);
    EXPECT_EQ(siblings(), std::vector<std::string>{"Castmill"});
}

TEST_F(RecoveryTest, CommittedSwitchRemovesTheOldTree) {
    lay(install(), kNew);
    lay(old_tree(), kOld);
    journal(JournalStep::kSwitched);
    recover_interrupted_install(install());
    EXPECT_EQ(file_tree(install()), kNew);
    EXPECT_EQ(siblings(), std::vector<std::string>{"Castmill"});
}

TEST_F(RecoveryTest, CommittedSwitchWithoutANewTreeKeepsTheOldOne) {
    // A full installer that reported success but wrote nothing.
    lay(old_tree(), kOld);
    journal(JournalStep::kSwitched);
    recover_interrupted_install(install());
    EXPECT_EQ(file_tree(install()), kOld);
}

TEST_F(RecoveryTest, InterruptedFullInstallerRunRestoresTheOldTree) {
    lay(old_tree(), kOld);
    write_file(install() / "half-written.dll", "partial");
    journal(JournalStep::kExternal);
    recover_interrupted_install(install());
    EXPECT_EQ(file_tree(install()), kOld);
    EXPECT_EQ(siblings(), std::vector<std::string>{"Castmill"});
}

TEST_F(RecoveryTest, InterruptedInPlaceRunPutsEveryOriginalBack) {
    // The first file was replaced, the second only moved aside, the third never reached,
    // the fourth is new; the new tree still holds what was not moved yet.
    write_file(install() / "a.dll", "new a");
    write_file(install() / "a.dll.aaaaaa.deleteme", "old a");
    write_file(install() / "b.dll.bbbbbb.deleteme", "old b");
    write_file(install() / "c.dll", "old c");
    write_file(install() / "d.dll", "new d");
    write_file(new_tree() / "c.dll", "new c");
    journal(JournalStep::kInPlace, {{"a.dll", "a.dll.aaaaaa.deleteme"},
                                    {"b.dll", "b.dll.bbbbbb.deleteme"},
                                    {"c.dll", "c.dll.cccccc.deleteme"},
                                    {"d.dll", ""}});
    recover_interrupted_install(install());
    EXPECT_EQ(file_tree(install()),
              (Tree{{"a.dll", "old a"}, {"b.dll", "old b"}, {"c.dll", "old c"}}));
    EXPECT_EQ(siblings(), std::vector<std::string>{"Castmill"});
}

TEST_F(RecoveryTest, FinishedInPlaceRunRemovesTheMovedAsideOriginals) {
    write_file(install() / "a.dll", "new a");
    write_file(install() / "a.dll.aaaaaa.deleteme", "old a");
    journal(JournalStep::kInPlaceDone, {{"a.dll", "a.dll.aaaaaa.deleteme"}});
    recover_interrupted_install(install());
    EXPECT_EQ(file_tree(install()), (Tree{{"a.dll", "new a"}}));
    EXPECT_EQ(siblings(), std::vector<std::string>{"Castmill"});
}

TEST_F(RecoveryTest, WithoutAJournalAnOldTreeReturnsOnlyToAMissingOrEmptyFolder) {
    lay(old_tree(), kOld);
    fs::create_directories(install());
    lay(new_tree(), kNew);
    recover_interrupted_install(install());
    EXPECT_EQ(file_tree(install()), kOld);
    // A staging tree without a journal was never switched in.
    EXPECT_EQ(siblings(), std::vector<std::string>{"Castmill"});

    // Beside a working installation a leftover is never renamed over it.
    lay(old_tree(), {{"stale.dll", "stale"}});
    recover_interrupted_install(install());
    EXPECT_EQ(file_tree(install()), kOld);
    EXPECT_EQ(file_tree(old_tree()), (Tree{{"stale.dll", "stale"}}));
}

// The new tree at the install folder holds a file nobody can delete: it is moved aside
// whole, the old tree is back at once, and the leftover goes at a later start.
TEST_F(RecoveryTest, ABlockedDeleteLeavesTheOldTreeCompleteAndTheLeftoverForLater) {
    lay(old_tree(), kOld);
    write_file(install() / "held/new.dll", "new");
    write_file(install() / "other.dll", "new");
    journal(JournalStep::kSwitching);
    {
        ImmutableFlag frozen(install() / "held");
        if (!frozen.applied()) GTEST_SKIP() << "no immutable attribute on this file system";
        recover_interrupted_install(install());
        EXPECT_EQ(file_tree(install()), kOld);
        EXPECT_FALSE(fs::exists(journal_path(install())));
        EXPECT_TRUE(fs::exists(leftovers_path(install())));
        // Another start while the file is still held keeps the list.
        recover_interrupted_install(install());
        EXPECT_TRUE(fs::exists(leftovers_path(install())));
        const std::vector<std::string> names = siblings();
        ASSERT_EQ(names.size(), 3u);
        const auto aside = std::find_if(names.begin(), names.end(), [](const std::string& name) {
            return name.ends_with(".deleteme");
        });
        ASSERT_NE(aside, names.end());
        // The flag moved with the tree: the holder lets go there.
        ImmutableFlag thaw(tmp / *aside / "held");
    }
    recover_interrupted_install(install());
    EXPECT_EQ(file_tree(install()), kOld);
    EXPECT_EQ(siblings(), std::vector<std::string>{"Castmill"});
}

// Killed after the one-step exchange, before the commit: the exchange is undone.
TEST_F(RecoveryTest, AnExchangeNotYetCommittedIsExchangedBack) {
    lay(install(), kOld);
    lay(new_tree(), {{"app.exe", "new"}});
    const int exchanged = sys::exchange_paths(new_tree(), install());
    if (exchanged == sys::kErrorNotSupported) GTEST_SKIP() << "no one-step exchange here";
    ASSERT_EQ(exchanged, sys::kErrorSuccess);
    InstallJournal state{JournalStep::kSwitching,
                         "Castmill.deleteme",
                         "Castmill.staging",
                         {},
                         sys::identity_of(install())};
    ASSERT_TRUE(write_journal(install(), state));
    recover_interrupted_install(install());
    EXPECT_EQ(file_tree(install()), kOld);
    EXPECT_EQ(siblings(), std::vector<std::string>{"Castmill"});
}

TEST(FreeSibling, TakesAnotherNameWhenTheFirstIsTaken) {
    TempDir tmp;
    EXPECT_EQ(free_sibling(tmp / "Castmill", ".deleteme"), tmp / "Castmill.deleteme");
    write_file(tmp / "Castmill.deleteme/x", "undeletable");
    const fs::path other = free_sibling(tmp / "Castmill", ".deleteme");
    EXPECT_FALSE(fs::exists(other));
    EXPECT_TRUE(other.filename().string().starts_with("Castmill."));
    EXPECT_TRUE(other.filename().string().ends_with(".deleteme"));
}

}  // namespace
}  // namespace velora::st
