#pragma once

#include <string>

#include "app/run_status.h"

// What a failed stage means to the person in front of the installer. One table for every
// result code: the window words each class in the user's language and offers Retry only
// where another attempt can succeed; the console prints the same detail line.
namespace velora::st {

enum class FailureClass {
    kNetwork,    // no network, the server unreachable, the transfer broke off
    kServer,     // the server answered with an error or with data the installer cannot use
    kDiskFull,   // not enough free space where the files go
    kInUse,      // files held by running programs
    kUntrusted,  // the release's signatures do not check out
    kDowngrade,  // the offered release is older than the installed one
    kCancelled,  // the user stopped the run
    kOther,      // this machine's side: the file system, an unexpected error
};

// The class of a stage's result code. Codes below 100 of the check stage are the transfer
// client's own (libcurl's); of the other stages, the engine's and the system's.
FailureClass failure_class(RunStatus stage, int code);

// Whether another attempt of the stage can succeed without a new release.
bool retry_can_help(FailureClass kind);

// The engine's side of a failure, as the log and the console name it:
// "code:920 manifest signature invalid", "download failed code: 2123".
std::string failure_detail(RunStatus stage, int code, const std::string& message);

}  // namespace velora::st
