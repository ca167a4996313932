#include "app/failure_class.h"

#include <gtest/gtest.h>

#include "base/result_codes.h"

namespace velora::st {
namespace {

struct Case {
    RunStatus stage;
    int code;
    FailureClass kind;
};

TEST(FailureClassTest, EachResultCodeLandsInTheClassOfItsCause) {
    const Case cases[] = {
        // The check stage passes libcurl's codes on: resolve, connect, time-out, TLS.
        {RunStatus::kChecking, 6, FailureClass::kNetwork},
        {RunStatus::kChecking, 7, FailureClass::kNetwork},
        {RunStatus::kChecking, 28, FailureClass::kNetwork},
        {RunStatus::kChecking, kDownloadHttpError, FailureClass::kServer},
        {RunStatus::kChecking, kSetupNotJson, FailureClass::kServer},
        {RunStatus::kChecking, kSetupBadServerData, FailureClass::kServer},
        {RunStatus::kChecking, kSetupUntrustedRelease, FailureClass::kUntrusted},
        // A trust code added later (an expired answer) is a trust failure too.
        {RunStatus::kChecking, kSetupUntrustedRelease + 2, FailureClass::kUntrusted},
        {RunStatus::kChecking, kSetupDowngradeRefused, FailureClass::kDowngrade},
        {RunStatus::kChecking, kSetupFileSystemError, FailureClass::kOther},
        // Transfers: 2100 + libcurl's code or the client's own.
        {RunStatus::kDownloading, kSetupDownloadFailedBase + 7, FailureClass::kNetwork},
        {RunStatus::kDownloading, kSetupDownloadFailedBase + 23, FailureClass::kDiskFull},
        {RunStatus::kDownloading, kSetupDownloadFailedBase + 22, FailureClass::kServer},
        {RunStatus::kDownloading, kSetupDownloadFailedBase + kDownloadHashMismatch,
         FailureClass::kServer},
        {RunStatus::kDownloading, kSetupDownloadCancelled, FailureClass::kCancelled},
        {RunStatus::kDownloading, kSetupDownloadFailedBase + 999, FailureClass::kNetwork},
        // The install stage's codes below 100 are the system's, not libcurl's.
        {RunStatus::kInstalling, 112, FailureClass::kDiskFull},
        {RunStatus::kInstalling, kSetupInUse, FailureClass::kInUse},
        {RunStatus::kInstalling, kSetupSharingViolation, FailureClass::kInUse},
        {RunStatus::kInstalling, 7, FailureClass::kOther},
        {RunStatus::kInstalling, kSetupExitCodeBase + 3, FailureClass::kOther},
    };
    for (const Case& c : cases)
        EXPECT_EQ(failure_class(c.stage, c.code), c.kind)
            << "stage " << status_number(c.stage) << " code " << c.code;
}

TEST(FailureClassTest, RetryIsOfferedOnlyWhereAnotherAttemptCanSucceed) {
    EXPECT_TRUE(retry_can_help(FailureClass::kNetwork));
    EXPECT_TRUE(retry_can_help(FailureClass::kDiskFull));
    EXPECT_FALSE(retry_can_help(FailureClass::kUntrusted));
    EXPECT_FALSE(retry_can_help(FailureClass::kDowngrade));
    EXPECT_FALSE(retry_can_help(FailureClass::kCancelled));
}

TEST(FailureClassTest, DetailNamesTheStageAndTheCode) {
    EXPECT_EQ(failure_detail(RunStatus::kChecking, 920, "manifest signature invalid"),
              "code:920 manifest signature invalid");
    EXPECT_EQ(failure_detail(RunStatus::kDownloading, 2123, "ignored"),
              "download failed code: 2123");
    EXPECT_EQ(failure_detail(RunStatus::kInstalling, 12, "copy failed"), "code: 12 install error");
    EXPECT_EQ(failure_detail(RunStatus::kInstalling, kSetupInUse, "obs64.exe\n"),
              "files are in use by:\nobs64.exe\n");
}

}  // namespace
}  // namespace velora::st
