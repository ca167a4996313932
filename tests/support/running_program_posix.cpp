#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>

#include "support/running_program.h"

namespace castmill::test {

struct RunningProgram::Pipes {
    int to_child = -1;
    int from_child = -1;
};

RunningProgram::RunningProgram(const std::filesystem::path& program)
    : pipes_(std::make_unique<Pipes>()) {
    int in[2];
    int out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
        throw std::system_error(errno, std::generic_category(), "pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    const std::string path = program.string();
    char* argv[] = {const_cast<char*>(path.c_str()), nullptr};
    // glibc's posix_spawn returns once the child has executed the program (or failed to).
    const int rc = posix_spawn(&pid_, path.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    pipes_->to_child = in[1];
    pipes_->from_child = out[0];
    if (rc != 0) {
        close(pipes_->to_child);
        close(pipes_->from_child);
        throw std::system_error(rc, std::generic_category(), "posix_spawn " + path);
    }
}

RunningProgram::~RunningProgram() {
    close(pipes_->to_child);
    close(pipes_->from_child);
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
}

std::string RunningProgram::exchange(const std::string& line) {
    const std::string text = line + "\n";
    if (write(pipes_->to_child, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        return {};
    std::string answer;
    char c = 0;
    while (read(pipes_->from_child, &c, 1) == 1 && c != '\n') answer += c;
    return answer;
}

std::filesystem::path RunningProgram::image() const {
    std::error_code ec;
    return std::filesystem::read_symlink("/proc/" + std::to_string(pid_) + "/exe", ec);
}

}  // namespace castmill::test
