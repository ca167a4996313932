#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "net/curl_wrapper.h"
#include "support/nginx_server.h"
#include "support/test_env.h"

namespace castmill::test {
namespace {

constexpr int kStartAttempts = 5;
constexpr auto kReadyLimit = std::chrono::seconds(10);
constexpr auto kPollStep = std::chrono::milliseconds(10);

// A port the kernel just handed out; another process may take it before nginx binds,
// which the caller detects and retries.
int pick_free_port() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return 0;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    int port = 0;
    socklen_t length = sizeof(address);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    ::close(fd);
    return port;
}

bool accepts_connections(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    const bool connected =
        ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    ::close(fd);
    return connected;
}

}  // namespace

NginxServer::NginxServer(NginxOptions options) : options_(std::move(options)) {
    isolate_environment();
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp ? tmp : "/tmp") + "/nginx-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        error_ = "cannot create the prefix folder";
        return;
    }
    prefix_ = pattern;
    for (int attempt = 0; attempt < kStartAttempts && pid_ <= 0; ++attempt) {
        const int port = pick_free_port();
        if (port != 0) start_on(port);
    }
}

NginxServer::~NginxServer() {
    stop();
    if (!prefix_.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(prefix_, ec);
    }
}

bool NginxServer::start_on(int port) {
    const std::string p = prefix_.string();
    std::ostringstream conf;
    // Started as root, the workers would run as nobody and could not enter the test's
    // private folders; keep them as root then.
    if (::geteuid() == 0) conf << "user root root;\n";
    conf << "daemon off;\nworker_processes 1;\n"
         << "pid " << p << "/nginx.pid;\n"
         << "error_log " << p << "/error.log;\n"
         << "events { worker_connections 64; }\n"
         << "http {\n"
         << "  include /etc/nginx/mime.types;\n"
         << "  default_type application/octet-stream;\n"
         << "  log_format probe '$request_method $request_uri $http_range $status';\n"
         << "  access_log " << p << "/access.log probe;\n"
         << "  client_body_temp_path " << p << "/client_body;\n"
         << "  proxy_temp_path " << p << "/proxy;\n"
         << "  fastcgi_temp_path " << p << "/fastcgi;\n"
         << "  uwsgi_temp_path " << p << "/uwsgi;\n"
         << "  scgi_temp_path " << p << "/scgi;\n"
         << "  server {\n";
    const bool tls = !options_.certificate.empty() && !options_.certificate_key.empty();
    conf << "    listen 127.0.0.1:" << port << (tls ? " ssl" : "") << ";\n";
    if (tls) {
        conf << "    ssl_certificate " << options_.certificate.string() << ";\n"
             << "    ssl_certificate_key " << options_.certificate_key.string() << ";\n";
    }
    if (!options_.ranges) conf << "    max_ranges 0;\n";
    conf << "    root " << options_.root.string() << ";\n"
         << "    location / { }\n"
         << options_.extra_locations << "\n"
         << "  }\n}\n";
    const std::string conf_path = p + "/nginx.conf";
    {
        std::ofstream out(conf_path, std::ios::trunc);
        out << conf.str();
    }
    std::filesystem::remove(p + "/access.log");

    const std::string error_log = p + "/error.log";
    const pid_t child = ::fork();
    if (child < 0) {
        error_ = "fork failed";
        return false;
    }
    if (child == 0) {
        ::execlp("nginx", "nginx", "-e", error_log.c_str(), "-p", p.c_str(), "-c",
                 conf_path.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    const auto limit = std::chrono::steady_clock::now() + kReadyLimit;
    while (std::chrono::steady_clock::now() < limit) {
        int status = 0;
        if (::waitpid(child, &status, WNOHANG) == child) {
            // Exited: most likely the port was taken meanwhile.
            error_ = read_file(error_log);
            return false;
        }
        if (accepts_connections(port)) {
            pid_ = child;
            port_ = port;
            return true;
        }
        std::this_thread::sleep_for(kPollStep);
    }
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    error_ = "nginx did not start listening";
    return false;
}

void NginxServer::stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGQUIT);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

std::string NginxServer::url(const std::string& path) const {
    const bool tls = !options_.certificate.empty() && !options_.certificate_key.empty();
    return std::string(tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) + path;
}

std::string NginxServer::access_log() const {
    // nginx writes a request's line after the client has its answer; a marker request,
    // once logged, shows that every earlier line has been written too.
    static std::atomic<int> counter{0};
    const std::string marker = "/log-marker-" + std::to_string(++counter);
    CurlHandle handle(curl_easy_init());
    if (handle) {
        const std::string target = url(marker);
        curl_easy_setopt(handle.get(), CURLOPT_URL, target.c_str());
        curl_easy_setopt(handle.get(), CURLOPT_NOBODY, 1L);
        curl_easy_setopt(handle.get(), CURLOPT_SSL_VERIFYPEER, 0L);
        curl_easy_setopt(handle.get(), CURLOPT_SSL_VERIFYHOST, 0L);
        curl_easy_perform(handle.get());
    }
    const auto limit = std::chrono::steady_clock::now() + kReadyLimit;
    std::string log = read_file(prefix_ / "access.log");
    while (log.find(marker) == std::string::npos && std::chrono::steady_clock::now() < limit) {
        std::this_thread::sleep_for(kPollStep);
        log = read_file(prefix_ / "access.log");
    }
    return log;
}

}  // namespace castmill::test
