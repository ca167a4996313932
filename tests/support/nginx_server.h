#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>

namespace castmill::test {

struct NginxOptions {
    std::filesystem::path root;  // served folder
    // TLS: serve HTTPS with this certificate chain and key when both are set.
    std::filesystem::path certificate{};
    std::filesystem::path certificate_key{};
    bool ranges = true;           // false: byte ranges are ignored (whole file, 200)
    std::string extra_locations{};  // raw `location` blocks added to the server
};

// nginx as a child process on a free 127.0.0.1 port, with its own configuration, logs
// and temporary folders in a private prefix folder. Stopped gracefully on destruction.
class NginxServer {
public:
    explicit NginxServer(NginxOptions options);
    ~NginxServer();
    NginxServer(const NginxServer&) = delete;
    NginxServer& operator=(const NginxServer&) = delete;

    bool running() const { return pid_ > 0; }
    int port() const { return port_; }
    // "http://127.0.0.1:PORT" (or https) followed by `path`, which starts with "/".
    std::string url(const std::string& path) const;
    // One line per request so far: "METHOD URI RANGE STATUS" ("-" for no Range header),
    // ending with a marker request of its own.
    std::string access_log() const;
    // Why the start failed, for test messages.
    const std::string& error() const { return error_; }

private:
    bool start_on(int port);
    void stop();

    NginxOptions options_;
    std::filesystem::path prefix_;
    pid_t pid_ = -1;
    int port_ = 0;
    std::string error_;
};

}  // namespace castmill::test
