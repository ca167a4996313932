#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <stdexcept>

#include "support/program_run.h"
#include "support/test_env.h"

extern char** environ;

namespace castmill::test {

namespace fs = std::filesystem;

namespace {

int exit_code_of(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

std::vector<std::string> environment_with(const ProgramOptions& options) {
    std::map<std::string, std::string> vars;
    for (char** entry = environ; *entry; ++entry) {
        const char* eq = std::strchr(*entry, '=');
        if (eq) vars[std::string(*entry, static_cast<size_t>(eq - *entry))] = eq + 1;
    }
    for (const auto& [name, value] : options.env) {
        if (value)
            vars[name] = *value;
        else
            vars.erase(name);
    }
    // LeakSanitizer stops the world with ptrace, which fails in a process that is traced already.
    if (options.traced && vars.count("ASAN_OPTIONS")) vars["ASAN_OPTIONS"] += ":detect_leaks=0";
    std::vector<std::string> env;
    for (const auto& [name, value] : vars) env.push_back(name + "=" + value);
    return env;
}

// Waits for a traced or plain child to end, letting a traced one go on past its stops.
int wait_for(pid_t pid, bool traced) {
    int status = 0;
    while (waitpid(pid, &status, 0) == pid) {
        if (traced && WIFSTOPPED(status)) {
            const int sig = WSTOPSIG(status);
            ptrace(PTRACE_CONT, pid, nullptr, sig == SIGTRAP || sig == SIGSTOP ? 0 : sig);
            continue;
        }
        return exit_code_of(status);
    }
    return -1;
}

}  // namespace

ProgramRun run_program(const fs::path& program, const std::vector<std::string>& args,
                       const ProgramOptions& options) {
    TempDir capture;
    const fs::path out_file = capture / "out";
    const fs::path err_file = capture / "err";
    std::vector<std::string> argv_text{program.string()};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argv_text) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env_text = environment_with(options);
    std::vector<char*> envp;
    for (auto& e : env_text) envp.push_back(e.data());
    envp.push_back(nullptr);

    const int out_fd = open(out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const int err_fd = open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    int go[2];
    if (out_fd < 0 || err_fd < 0 || pipe2(go, O_CLOEXEC) != 0)
        throw std::runtime_error("cannot prepare the child's output");

    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        // Hold still until the parent is attached, so that no output escapes the debugger.
        char byte;
        close(go[1]);
        if (read(go[0], &byte, 1) != 1) _exit(126);
        dup2(out_fd, STDOUT_FILENO);
        dup2(err_fd, STDERR_FILENO);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(go[0]);
    close(out_fd);
    close(err_fd);
    bool traced = false;
    if (options.traced) traced = ptrace(PTRACE_SEIZE, pid, nullptr, nullptr) == 0;
    if (write(go[1], "g", 1) != 1) throw std::runtime_error("cannot start the child");
    close(go[1]);

    ProgramRun run;
    run.exit_code = wait_for(pid, traced);
    if (options.traced && !traced) throw std::runtime_error("cannot attach to the child");
    run.out = read_file(out_file);
    run.err = read_file(err_file);
    return run;
}

bool run_in_forked_child(const std::function<void()>& body) {
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        body();
        std::fflush(nullptr);
        _exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    return wait_for(pid, false) == 0;
}

bool run_in_child_process(const std::function<void()>& body) { return run_in_forked_child(body); }

}  // namespace castmill::test
