#include <curl/curl.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "support/dist_server.h"
#include "support/release_builder.h"
#include "support/sample_suite.h"
#include "support/test_env.h"

extern char** environ;

namespace castmill::test {

namespace fs = std::filesystem;

namespace {

struct CurlDeleter {
    void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
struct SlistDeleter {
    void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};

size_t append_body(char* data, size_t size, size_t count, void* out) {
    static_cast<std::string*>(out)->append(data, size * count);
    return size * count;
}

size_t append_header(char* data, size_t size, size_t count, void* out) {
    std::string line(data, size * count);
    const auto colon = line.find(':');
    if (colon != std::string::npos) {
        std::string name = line.substr(0, colon);
        for (auto& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        std::string value = line.substr(colon + 1);
        while (!value.empty() && std::isspace(static_cast<unsigned char>(value.front()))) {
            value.erase(0, 1);
        }
        while (!value.empty() && std::isspace(static_cast<unsigned char>(value.back()))) {
            value.pop_back();
        }
        (*static_cast<std::map<std::string, std::string>*>(out))[name] = value;
    }
    return size * count;
}

HttpReply perform(const std::string& url, const std::vector<std::string>& headers,
                  const std::string& ca_file, const std::function<void(CURL*)>& setup) {
    HttpReply reply;
    std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
    if (!curl) throw std::runtime_error("curl_easy_init failed");
    std::unique_ptr<curl_slist, SlistDeleter> list;
    for (const auto& h : headers) list.reset(curl_slist_append(list.release(), h.c_str()));
    CURL* c = curl.get();
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, list.get());
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, append_body);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &reply.body);
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, append_header);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, &reply.headers);
    curl_easy_setopt(c, CURLOPT_PATH_AS_IS, 1L);
    curl_easy_setopt(c, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(c, CURLOPT_TIMEOUT, 60L);
    if (!ca_file.empty()) curl_easy_setopt(c, CURLOPT_CAINFO, ca_file.c_str());
    setup(c);
    reply.curl_code = curl_easy_perform(c);
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &reply.status);
    return reply;
}

nlohmann::json to_json(const FaultRule& rule) {
    nlohmann::json j{{"path", rule.path}, {"times", rule.times}};
    if (rule.status != 0) j["status"] = rule.status;
    if (rule.body) j["body"] = *rule.body;
    if (rule.cut_after >= 0) j["cut_after"] = rule.cut_after;
    if (rule.delay_ms > 0) j["delay_ms"] = rule.delay_ms;
    if (rule.chunk_delay_ms > 0) j["chunk_delay_ms"] = rule.chunk_delay_ms;
    if (rule.ignore_range) j["ignore_range"] = true;
    if (rule.wrong_bytes) j["wrong_bytes"] = true;
    if (rule.no_etag) j["no_etag"] = true;
    if (rule.wrong_range) j["wrong_range"] = true;
    if (rule.no_length) j["no_length"] = true;
    if (rule.stall_after >= 0) j["stall_after"] = rule.stall_after;
    if (rule.stall_ms > 0) j["stall_ms"] = rule.stall_ms;
    if (rule.endless) j["endless"] = true;
    if (rule.zip_bomb_bytes >= 0) j["zip_bomb_bytes"] = rule.zip_bomb_bytes;
    if (!rule.zip_bomb_entries.empty()) j["zip_bomb_entries"] = rule.zip_bomb_entries;
    return j;
}

std::vector<char*> argv_of(const fs::path& program, std::vector<std::string>& args) {
    std::vector<char*> argv;
    args.insert(args.begin(), program.string());
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    return argv;
}

// Waits for the child to end; SIGKILL after the grace period.
void stop_child(int pid) {
    kill(pid, SIGTERM);
    for (int i = 0; i < 500; ++i) {
        if (waitpid(pid, nullptr, WNOHANG) == pid) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

}  // namespace

DistServer::DistServer(DistServerOptions options) : options_(std::move(options)) {
    reports_ = dir_ / "reports.jsonl";
    log_ = dir_ / "distserver.log";
    std::vector<std::string> args{"--port", "0", "--reports", reports_.string()};
    auto opt = [&args](const char* name, const std::string& value) {
        if (!value.empty()) {
            args.push_back(name);
            args.push_back(value);
        }
    };
    opt("--release", options_.release.string());
    opt("--app-id", options_.app_id);
    opt("--app-secret", options_.app_secret);
    opt("--credentials", options_.credentials.string());
    opt("--release-path", options_.release_path);
    opt("--download-host", options_.download_host);
    opt("--full-package", options_.full_package.string());
    opt("--echo-address", options_.echo_address);
    opt("--cert", options_.cert.string());
    opt("--key", options_.key.string());
    for (const auto& rule : options_.faults) opt("--fault", to_json(rule).dump());

    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const fs::path program = bin_dir() / "distserver";
    auto argv = argv_of(program, args);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (rc != 0) {
        close(out[0]);
        throw std::runtime_error("cannot start " + program.string());
    }
    pid_ = pid;

    // The first line is "listening 127.0.0.1:PORT".
    std::string line;
    pollfd pfd{out[0], POLLIN, 0};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        if (poll(&pfd, 1, 100) <= 0) continue;
        char buf[256];
        const ssize_t n = read(out[0], buf, sizeof buf);
        if (n <= 0) break;
        line.append(buf, static_cast<size_t>(n));
    }
    close(out[0]);
    const std::string prefix = "listening 127.0.0.1:";
    if (line.rfind(prefix, 0) == 0) port_ = std::atoi(line.c_str() + prefix.size());
    if (port_ <= 0) {
        stop_child(pid_);
        pid_ = -1;
        throw std::runtime_error("distserver did not start: " + line + log());
    }
}

DistServer::~DistServer() {
    if (pid_ > 0) stop_child(pid_);
}

std::string DistServer::url() const {
    return std::string(options_.cert.empty() ? "http" : "https") +
           "://127.0.0.1:" + std::to_string(port_);
}

std::string DistServer::release_url() const {
    return url() + (options_.release_path.empty() ? kDefaultReleasePath : options_.release_path);
}

std::string DistServer::manifest_url() const { return release_url() + "/manifest.json"; }

std::string DistServer::release_path_of(const std::string& file_path) const {
    return (options_.release_path.empty() ? kDefaultReleasePath : options_.release_path) +
           std::string("/") + file_path;
}

void DistServer::set_host_environment() const {
    for (const char* name : {"CASTMILL_UPDATE_HOST", "CASTMILL_DOWNLOAD_HOST", "CASTMILL_LOG_HOST",
                             "CASTMILL_WEB_HOST"}) {
        setenv(name, url().c_str(), 1);
    }
}

void DistServer::control(const nlohmann::json& body) const {
    const HttpReply reply = http_post(url() + "/__control", body.dump(), "application/json");
    if (reply.curl_code != 0 || reply.status != 200) {
        throw std::runtime_error("distserver control failed: " + reply.body);
    }
}

void DistServer::add_fault(const FaultRule& rule) {
    control({{"faults", nlohmann::json::array({to_json(rule)})}});
}

void DistServer::fail_next(const std::string& path, int status, int times) {
    FaultRule rule;
    rule.path = path;
    rule.status = status;
    rule.times = times;
    add_fault(rule);
}

void DistServer::cut_after(const std::string& path, int64_t bytes, int times) {
    FaultRule rule;
    rule.path = path;
    rule.cut_after = bytes;
    rule.times = times;
    add_fault(rule);
}

void DistServer::delay(const std::string& path, std::chrono::milliseconds wait, int times) {
    FaultRule rule;
    rule.path = path;
    rule.delay_ms = static_cast<int>(wait.count());
    rule.times = times;
    add_fault(rule);
}

void DistServer::ignore_ranges(const std::string& path, int times) {
    FaultRule rule;
    rule.path = path;
    rule.ignore_range = true;
    rule.times = times;
    add_fault(rule);
}

void DistServer::serve_wrong_bytes(const std::string& path, int times) {
    FaultRule rule;
    rule.path = path;
    rule.wrong_bytes = true;
    rule.times = times;
    add_fault(rule);
}

void DistServer::clear_faults() { control({{"clear", true}}); }

void DistServer::clear_requests() { control({{"clear_requests", true}}); }

std::vector<RecordedRequest> DistServer::requests() const {
    const HttpReply reply = http_get(url() + "/__control");
    if (reply.curl_code != 0 || reply.status != 200) {
        throw std::runtime_error("distserver control failed: " + reply.body);
    }
    std::vector<RecordedRequest> list;
    const auto state = nlohmann::json::parse(reply.body);
    for (const auto& j : state.at("requests")) {
        RecordedRequest r;
        r.method = j.at("method").get<std::string>();
        r.path = j.at("path").get<std::string>();
        r.range = j.at("range").get<std::string>();
        r.status = j.at("status").get<int>();
        list.push_back(std::move(r));
    }
    return list;
}

int DistServer::count_requests(const std::string& path) const {
    int n = 0;
    for (const auto& r : requests()) n += r.path == path ? 1 : 0;
    return n;
}

std::vector<nlohmann::json> DistServer::reports() const {
    std::vector<nlohmann::json> list;
    std::ifstream in(reports_);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty()) list.push_back(nlohmann::json::parse(line));
    }
    return list;
}

HttpReply http_get(const std::string& url, const std::vector<std::string>& headers,
                   const std::string& ca_file) {
    return perform(url, headers, ca_file, [](CURL*) {});
}

HttpReply http_head(const std::string& url, const std::vector<std::string>& headers) {
    return perform(url, headers, {}, [](CURL* c) { curl_easy_setopt(c, CURLOPT_NOBODY, 1L); });
}

HttpReply http_post(const std::string& url, const std::string& body,
                    const std::string& content_type, const std::vector<std::string>& headers) {
    std::vector<std::string> all = headers;
    all.push_back("Content-Type: " + content_type);
    return perform(url, all, {}, [&body](CURL* c) {
        curl_easy_setopt(c, CURLOPT_POSTFIELDS, body.data());
        curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    });
}

fs::path publish_release(const fs::path& source, const std::string& version, const fs::path& out,
                         const std::vector<std::string>& extra) {
    std::vector<std::string> args{"--source", source.string(), "--version",
                                  version,    "--out",         out.string()};
    args.insert(args.end(), extra.begin(), extra.end());
    const ProgramRun run = run_program(bin_dir() / "publish", args);
    if (run.exit_code != 0) throw std::runtime_error("publish failed: " + run.out + run.err);
    return out;
}

std::unique_ptr<DistServer> serve_sample_release(const fs::path& dir,
                                                 const std::vector<std::string>& extra,
                                                 const SampleRelease& release) {
    DistServerOptions options;
    options.release = dir / release.folder;
    options.app_id = kSampleAppId;
    options.app_secret = kSampleAppSecret;
    auto server = std::make_unique<DistServer>(options);
    server->set_host_environment();
    std::vector<std::string> arguments = {"--manifest-url", server->manifest_url()};
    if (release.sign)
        arguments.insert(arguments.begin(), {"--sign", test_release_key_file().string()});
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    publish_release(dir / "suite", release.version, options.release, arguments);
    return server;
}

void add_big_file(const fs::path& suite) {
    std::string big(16 << 20, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 2654435761u) >> 13);
    write_file(suite / kBigFile, big);
}

}  // namespace castmill::test
