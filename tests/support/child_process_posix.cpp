#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <stdexcept>

#include "support/child_process.h"

extern char** environ;

namespace castmill::test {

ChildProcess::ChildProcess(const std::filesystem::path& program,
                           const std::vector<std::string>& args) {
    std::vector<std::string> words;
    words.push_back(program.string());
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    const int rc = posix_spawn(&pid_, words[0].c_str(), nullptr, nullptr, argv.data(), environ);
    if (rc != 0) throw std::runtime_error("cannot start " + program.string());
}

ChildProcess::~ChildProcess() {
    if (status_) return;
    kill(pid_, SIGKILL);
    wait();
}

int ChildProcess::wait() {
    if (status_) return *status_;
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0) {
        if (errno != EINTR) throw std::runtime_error("waitpid failed");
    }
    status_ = status;
    return status;
}

std::optional<int> ChildProcess::poll() {
    if (status_) return status_;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) status_ = status;
    return status_;
}

}  // namespace castmill::test
