// Local stand-in for the update service, the file store and the log-collection service, for
// tests and the demo. Listens on 127.0.0.1 only and prints "listening 127.0.0.1:PORT" first.
#include <httplib.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "faults.h"
#include "file_store.h"
#include "log_service.h"

namespace fs = std::filesystem;
using castmill::tools::ActiveFaults;
using castmill::tools::FaultTable;
using castmill::tools::LogService;

namespace {

constexpr const char* kVersionPath = "/app/getCastmillUpdate/mergedKit/windows";
constexpr const char* kFullPackagePath = "/files/apps/castmill/Castmill_full_package.exe";
constexpr const char* kEchoPath = "/api/biz/myip";
constexpr const char* kTokenPath = "/coll-log/genLogToken";
constexpr const char* kLogPath = "/coll-log/security/castmill/log";
constexpr const char* kControlPath = "/__control";
constexpr const char* kVersionQueryValue = "1.0.0";
constexpr size_t kThreads = 32;

struct Options {
    fs::path release;
    int port = 0;
    std::string release_path = "/files/apps/castmill/update";
    std::string download_host;
    fs::path full_package;
    fs::path reports;
    fs::path credentials;
    std::string app_id;
    std::string app_secret;
    std::string echo_address;
    std::vector<std::string> faults;
    fs::path cert;
    fs::path key;
};

void usage() {
    std::fprintf(
        stderr,
        "usage: distserver [options]\n"
        "  --release DIR          release folder written by publish\n"
        "  --port N               port on 127.0.0.1 (0: any free port, the default)\n"
        "  --release-path PATH    URL path the release is served under\n"
        "                         (default /files/apps/castmill/update)\n"
        "  --download-host URL    host that a relative manifest url is resolved against\n"
        "                         (default: this server)\n"
        "  --full-package FILE    served at %s\n"
        "                         (default: Castmill_full_package.exe in the release)\n"
        "  --reports FILE         append every accepted log report as a JSON line\n"
        "  --credentials FILE     {\"data\": {\"castmill-pc:VERSION\": {\"appId\", "
        "\"appSecrect\"}}}\n"
        "  --app-id ID --app-secret SECRET   credentials for every version\n"
        "  --echo-address ADDR    address the echo answers instead of the caller's\n"
        "  --fault JSON           fault rule, as POSTed to /__control in \"faults\"; repeatable\n"
        "  --cert FILE --key FILE serve HTTPS with this certificate\n",
        kFullPackagePath);
}

Options parse_options(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc) throw std::invalid_argument(arg + " needs a value");
        const std::string value = argv[++i];
        if (arg == "--release") {
            o.release = value;
        } else if (arg == "--port") {
            size_t used = 0;
            try {
                o.port = std::stoi(value, &used);
            } catch (const std::exception&) {
                used = 0;
            }
            if (used != value.size() || o.port < 0 || o.port > 65535) {
                throw std::invalid_argument("--port needs a number from 0 to 65535");
            }
        } else if (arg == "--release-path") {
            o.release_path = value;
        } else if (arg == "--download-host") {
            o.download_host = value;
        } else if (arg == "--full-package") {
            o.full_package = value;
        } else if (arg == "--reports") {
            o.reports = value;
        } else if (arg == "--credentials") {
            o.credentials = value;
        } else if (arg == "--app-id") {
            o.app_id = value;
        } else if (arg == "--app-secret") {
            o.app_secret = value;
        } else if (arg == "--echo-address") {
            o.echo_address = value;
        } else if (arg == "--fault") {
            o.faults.push_back(value);
        } else if (arg == "--cert") {
            o.cert = value;
        } else if (arg == "--key") {
            o.key = value;
        } else {
            throw std::invalid_argument("unknown option " + arg);
        }
    }
    while (o.release_path.size() > 1 && o.release_path.back() == '/') o.release_path.pop_back();
    if (o.release_path.empty() || o.release_path[0] != '/') {
        throw std::invalid_argument("--release-path must start with /");
    }
    if (o.cert.empty() != o.key.empty()) {
        throw std::invalid_argument("--cert and --key go together");
    }
    if (o.app_id.empty() != o.app_secret.empty()) {
        throw std::invalid_argument("--app-id and --app-secret go together");
    }
    return o;
}

// Requests as the server answered them, for tests that count attempts or check ranges.
class RequestLog {
public:
    void add(const httplib::Request& req, int status) {
        std::lock_guard<std::mutex> guard(lock_);
        if (entries_.size() >= kMaxEntries) return;
        entries_.push_back({{"method", req.method},
                            {"path", req.path},
                            {"range", req.get_header_value("Range")},
                            {"status", status}});
    }
    void clear() {
        std::lock_guard<std::mutex> guard(lock_);
        entries_ = nlohmann::json::array();
    }
    nlohmann::json snapshot() const {
        std::lock_guard<std::mutex> guard(lock_);
        return entries_;
    }

private:
    static constexpr size_t kMaxEntries = 100000;
    mutable std::mutex lock_;
    nlohmann::json entries_ = nlohmann::json::array();
};

// A path inside the release, or empty when the URL path leaves it.
fs::path release_file(const fs::path& release, const std::string& rel) {
    if (release.empty() || rel.empty()) return {};
    const fs::path p = fs::path(rel).lexically_normal();
    if (p.is_absolute() || p.empty() || *p.begin() == "..") return {};
    return release / p;
}

void answer_text(httplib::Response& res, int status, const std::string& text) {
    res.status = status;
    res.set_content(text, "text/plain");
}

// An answer made whole (the version answer, a signature, a service's JSON) stalls as a file
// does: its headers and first stall_after bytes, then nothing for stall_ms, then the
// connection closes. stall_after 0: a server that stops right after its headers.
void stall_answer(httplib::Response& res, const castmill::tools::ActiveFaults& faults) {
    const auto body = std::make_shared<std::string>(std::move(res.body));
    const size_t sent = std::min<size_t>(body->size(), static_cast<size_t>(faults.stall_after));
    const auto wait = std::chrono::milliseconds(faults.stall_ms);
    const std::string type = res.get_header_value("Content-Type");
    res.body.clear();
    res.headers.erase("Content-Type");
    res.set_content_provider(body->size(), type.c_str(),
                             [body, sent, wait](size_t at, size_t, httplib::DataSink& sink) {
                                 if (at < sent) return sink.write(body->data() + at, sent - at);
                                 castmill::tools::pause_unless_stopping(wait);
                                 return false;
                             });
}

class Server {
public:
    Server(Options options, httplib::Server& http) : o_(std::move(options)), http_(http) {
        if (!o_.credentials.empty()) log_.load_credentials(o_.credentials);
        if (!o_.app_id.empty()) log_.set_credentials({o_.app_id, o_.app_secret});
        if (!o_.reports.empty()) log_.open_reports(o_.reports);
        log_.set_echo_address(o_.echo_address);
        for (const auto& text : o_.faults) {
            faults_.add(castmill::tools::parse_fault(nlohmann::json::parse(text)));
        }
        routes();
    }

    void set_port(int port) {
        if (o_.download_host.empty()) {
            o_.download_host = std::string(o_.cert.empty() ? "http" : "https") +
                               "://127.0.0.1:" + std::to_string(port);
        }
    }

private:
    using Handler =
        std::function<void(const httplib::Request&, httplib::Response&, const ActiveFaults&)>;

    // Every service path goes through the fault table and the request log.
    httplib::Server::Handler guarded(Handler handler) {
        return [this, handler](const httplib::Request& req, httplib::Response& res) {
            // httplib 0.11 cuts every answer again by the request's Range, JSON answers
            // included; only the file store answers ranges, and it reads the header itself.
            const_cast<httplib::Request&>(req).ranges.clear();
            const ActiveFaults f = faults_.take(req.path);
            if (f.delay_ms > 0)
                castmill::tools::pause_unless_stopping(std::chrono::milliseconds(f.delay_ms));
            try {
                if (f.status != 0 || f.body) {
                    const int status = f.status != 0 ? f.status : 200;
                    answer_text(res, status,
                                f.body.value_or("injected status " + std::to_string(status)));
                } else {
                    handler(req, res, f);
                }
            } catch (const std::exception& e) {
                answer_text(res, 500, std::string("distserver: ") + e.what());
            }
            // A handler that only set content leaves the status to httplib (200).
            if (res.status == -1) res.status = 200;
            if (f.stall_after >= 0 && !res.content_provider_) stall_answer(res, f);
            requests_.add(req, res.status);
        };
    }

    void routes() {
        http_.Get(kControlPath, [this](const httplib::Request&, httplib::Response& res) {
            res.set_content(
                nlohmann::json{{"faults", faults_.snapshot()}, {"requests", requests_.snapshot()}}
                    .dump(),
                "application/json");
        });
        http_.Post(kControlPath, [this](const httplib::Request& req, httplib::Response& res) {
            control(req, res);
        });
        http_.Get(kVersionPath, guarded([this](const auto& req, auto& res, const auto&) {
                      version_answer(req, res);
                  }));
        http_.Get(std::string(kVersionPath) + "\\.sig",
                  guarded([this](const auto&, auto& res, const auto&) { version_signature(res); }));
        http_.Get(kEchoPath, guarded([this](const auto& req, auto& res, const auto&) {
                      log_.echo(req, res);
                  }));
        http_.Post(kTokenPath, guarded([this](const auto& req, auto& res, const auto&) {
                       log_.token(req, res);
                   }));
        http_.Post(kLogPath, guarded([this](const auto& req, auto& res, const auto&) {
                       log_.log(req, res);
                   }));
        // Every other method on a known service path is a client fault worth seeing.
        for (const char* path : {kVersionPath, kEchoPath}) {
            http_.Post(path, guarded([](const auto&, auto& res, const auto&) {
                           answer_text(res, 405, "method not allowed");
                       }));
        }
        for (const char* path : {kTokenPath, kLogPath}) {
            http_.Get(path, guarded([](const auto&, auto& res, const auto&) {
                          answer_text(res, 405, "method not allowed");
                      }));
        }
        // Last: httplib takes the first route that matches.
        http_.Get(".*", guarded([this](const auto& req, auto& res, const auto& f) {
                      content(req, res, f);
                  }));
    }

    void control(const httplib::Request& req, httplib::Response& res) {
        try {
            const auto body = nlohmann::json::parse(req.body);
            if (!body.is_object()) throw std::invalid_argument("a JSON object is expected");
            std::vector<castmill::tools::FaultRule> rules;
            if (auto it = body.find("faults"); it != body.end()) {
                if (!it->is_array()) throw std::invalid_argument("\"faults\" must be an array");
                for (const auto& j : *it) rules.push_back(castmill::tools::parse_fault(j));
            }
            if (body.value("clear", false)) faults_.clear();
            if (body.value("clear_requests", false)) requests_.clear();
            for (auto& rule : rules) faults_.add(std::move(rule));
            res.set_content(R"({"ok":true})", "application/json");
        } catch (const std::exception& e) {
            answer_text(res, 400, std::string("bad control request: ") + e.what());
        }
    }

    void version_answer(const httplib::Request& req, httplib::Response& res) {
        if (!req.has_param("castmill") || req.get_param_value("castmill") != kVersionQueryValue) {
            answer_text(res, 400,
                        std::string("query castmill=") + kVersionQueryValue + " expected");
            return;
        }
        const fs::path file = o_.release / "version.json";
        if (o_.release.empty() || !fs::is_regular_file(file)) {
            answer_text(res, 404, "no release");
            return;
        }
        std::ifstream in(file, std::ios::binary);
        const std::string text((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
        nlohmann::json answer = nlohmann::json::parse(text);
        if (auto url = answer.find("url"); url != answer.end() && url->is_string()) {
            const std::string value = url->get<std::string>();
            if (value.find("://") == std::string::npos) {
                *url = o_.download_host + o_.release_path + "/" + value;
                res.set_content(answer.dump(), "application/json");
                return;
            }
        }
        // An answer that needs nothing resolved goes out byte for byte: it may be signed.
        res.set_content(text, "application/json");
    }

    // The version answer's detached signature (publish --sign), beside its path.
    void version_signature(httplib::Response& res) {
        const fs::path file = o_.release / "version.json.sig";
        if (o_.release.empty() || !fs::is_regular_file(file)) {
            answer_text(res, 404, "no signature");
            return;
        }
        std::ifstream in(file, std::ios::binary);
        res.set_content(
            std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()),
            "text/plain");
    }

    void content(const httplib::Request& req, httplib::Response& res, const ActiveFaults& f) {
        fs::path file;
        if (req.path == kFullPackagePath) {
            file = o_.full_package.empty() ? release_file(o_.release, "Castmill_full_package.exe")
                                           : o_.full_package;
        } else if (req.path.rfind(o_.release_path + "/", 0) == 0) {
            file = release_file(o_.release, req.path.substr(o_.release_path.size() + 1));
        }
        if (f.zip_bomb_bytes >= 0) {
            // Made for this answer; the open stream keeps it readable once its name is gone.
            static std::atomic<int> made{0};
            const fs::path bomb =
                fs::temp_directory_path() / ("distserver-bomb-" + std::to_string(getpid()) + "-" +
                                             std::to_string(made++) + ".zip");
            castmill::tools::write_zip_bomb(bomb, f.zip_bomb_entries, f.zip_bomb_bytes);
            castmill::tools::serve_file(req, res, bomb, f);
            fs::remove(bomb);
            return;
        }
        if (file.empty() || !fs::is_regular_file(file)) {
            answer_text(res, 404, "not found");
            return;
        }
        castmill::tools::serve_file(req, res, file, f);
    }

    Options o_;
    httplib::Server& http_;
    FaultTable faults_;
    RequestLog requests_;
    LogService log_;
};

}  // namespace

int main(int argc, char** argv) {
    Options options;
    try {
        options = parse_options(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "distserver: %s\n", e.what());
        usage();
        return 2;
    }

    // Signals are taken by one thread that stops the server; the others never see them.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    std::unique_ptr<httplib::Server> http;
    if (options.cert.empty()) {
        http = std::make_unique<httplib::Server>();
    } else {
        http = std::make_unique<httplib::SSLServer>(options.cert.c_str(), options.key.c_str());
    }
    // Stalled and delayed answers each hold a thread; the others still get answered.
    http->new_task_queue = [] { return new httplib::ThreadPool(kThreads); };
    if (!http->is_valid()) {
        std::fprintf(stderr, "distserver: cannot set up the server (certificate or key?)\n");
        return 1;
    }
    http->set_logger([](const httplib::Request& req, const httplib::Response& res) {
        const std::string range = req.get_header_value("Range");
        std::fprintf(stderr, "distserver: %s %s%s%s -> %d\n", req.method.c_str(), req.path.c_str(),
                     range.empty() ? "" : " ", range.c_str(), res.status);
    });

    std::unique_ptr<Server> server;
    try {
        server = std::make_unique<Server>(options, *http);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "distserver: %s\n", e.what());
        return 1;
    }

    int port = options.port;
    if (port == 0) {
        port = http->bind_to_any_port("127.0.0.1");
    } else if (!http->bind_to_port("127.0.0.1", port)) {
        port = -1;
    }
    if (port <= 0) {
        std::fprintf(stderr, "distserver: cannot bind 127.0.0.1:%d\n", options.port);
        return 1;
    }
    server->set_port(port);
    std::printf("listening 127.0.0.1:%d\n", port);
    std::fflush(stdout);

    std::thread([&http, stop_signals] {
        int sig = 0;
        sigwait(&stop_signals, &sig);
        castmill::tools::stop_pauses();
        http->stop();
    }).detach();

    const bool ok = http->listen_after_bind();
    return ok ? 0 : 1;
}
