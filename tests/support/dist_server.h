#pragma once

// The local distribution server (tools/distserver) and the release publisher (tools/publish)
// for integration tests.
//
//   castmill::test::TempDir dir;
//   castmill::test::write_file(dir / "suite/VeloraOBS/bin/obs.dll", "...");
//   auto release = castmill::test::publish_release(dir / "suite", "1.2.3", dir / "release");
//   castmill::test::DistServer server({.release = release, .app_id = "...", .app_secret = "..."});
//   server.set_host_environment();          // CASTMILL_*_HOST point at the server
//   server.fail_next(server.release_path_of("VeloraOBS/bin/obs.dll"), 500, 2);
//   ... run the code under test ...
//   EXPECT_EQ(server.count_requests(DistServer::kVersionPath), 1);
//   auto reports = server.reports();        // every accepted log post, oldest first
//
// The server listens on 127.0.0.1 at a free port, so tests may run in parallel. It answers:
//   GET  kVersionPath?castmill=1.0.0   the release's version.json, a relative "url" resolved
//                                      to release_url(); 400 without that query, 404 without
//                                      a release
//   GET  release_url()/<path>          the release's files (manifest.json, the suite files,
//                                      Castmill_winUpdate.zip), with ETag (quoted MD5), single
//                                      byte ranges (206), 416 "bytes */size" past the end,
//                                      If-Range; HEAD too
//   GET  kFullPackagePath              the full package (publish --full-package)
//   GET  kEchoPath                     {"code":0,"data":{"cfip":"127.0.0.1"}}
//   POST kTokenPath                    checks the body made by make_signature against the
//                                      credentials; {"result":true,"data":{"ltoken":...}} or
//                                      {"result":false,"msg":...}
//   POST kLogPath                      needs the header "ltoken:<token>" (else 401) and a
//                                      multipart form (else 400); appends the report
// Requests that the server answers are recorded (requests()); faults are set at start
// (options.faults) or at any time (add_fault and the helpers) and apply to an exact URL path.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "support/program_run.h"
#include "support/test_env.h"

namespace castmill::test {

// One fault for an exact URL path (no query). Fields combine. times: how many of the next
// requests of the path it applies to; -1 = all of them.
struct FaultRule {
    std::string path{};
    int times = -1;
    int status = 0;                     // answer with this status (429, 500, 404, ...)
    std::optional<std::string> body{};  // answer with this body (status 200 unless set)
    int64_t cut_after = -1;             // close the connection after this many body bytes
    int delay_ms = 0;                   // wait before answering
    int chunk_delay_ms = 0;             // wait before each 64 KiB of the body (a slow link)
    bool ignore_range = false;          // answer 200 with the whole file despite a Range
    bool wrong_bytes = false;           // every byte inverted, same length and ETag
    bool no_etag = false;               // no ETag header
    bool wrong_range = false;           // a range answered 206 with as many bytes from byte 0,
                                        // under a Content-Range that says so
    bool no_length = false;             // no Content-Length; the connection closes after the body
    int64_t stall_after = -1;           // after this many body bytes (0: right after the
                                        // headers; any path) send nothing for stall_ms,
    int stall_ms = 0;                   // then close the connection (0: 60 s)
    bool endless = false;               // after the content, zero bytes until the client leaves
    int64_t zip_bomb_bytes = -1;        // a zip of zip_bomb_entries, each this many zeros
    std::vector<std::string> zip_bomb_entries{};  // empty: three made-up names
};

struct DistServerOptions {
    std::filesystem::path release;  // folder written by publish; may be empty
    std::string app_id;             // credentials accepted for every version
    std::string app_secret;
    std::filesystem::path credentials;   // {"data":{"castmill-pc:VERSION":{"appId","appSecrect"}}}
    std::string release_path;            // URL path of the release; empty: kDefaultReleasePath
    std::string download_host;           // base for the version answer's url; empty: url()
    std::filesystem::path full_package;  // overrides the release's Castmill_full_package.exe
    std::string echo_address;            // what the echo answers instead of 127.0.0.1
    std::filesystem::path cert;          // HTTPS with this certificate and key (PEM)
    std::filesystem::path key;
    std::vector<FaultRule> faults;  // in force from the first request
};

struct RecordedRequest {
    std::string method;
    std::string path;   // decoded, without the query
    std::string range;  // the Range header, empty when none
    int status = 0;     // as answered (a cut transfer still shows its status)
};

class DistServer {
public:
    static constexpr const char* kVersionPath = "/app/getCastmillUpdate/mergedKit/windows";
    static constexpr const char* kFullPackagePath =
        "/files/apps/castmill/Castmill_full_package.exe";
    static constexpr const char* kEchoPath = "/api/biz/myip";
    static constexpr const char* kTokenPath = "/coll-log/genLogToken";
    static constexpr const char* kLogPath = "/coll-log/security/castmill/log";
    static constexpr const char* kDefaultReleasePath = "/files/apps/castmill/update";

    // Starts build/<preset>/bin/distserver and waits for its port; throws std::runtime_error
    // with the server's own output when it does not come up.
    explicit DistServer(DistServerOptions options = {});
    // Stops the server (SIGTERM, then SIGKILL after 5 s) and waits for it.
    ~DistServer();
    DistServer(const DistServer&) = delete;
    DistServer& operator=(const DistServer&) = delete;

    int port() const { return port_; }
    std::string url() const;           // "http://127.0.0.1:PORT" (https with a certificate)
    std::string release_url() const;   // url() + release path
    std::string manifest_url() const;  // release_url() + "/manifest.json"
    // URL path of a file of the release, for faults and request counts.
    std::string release_path_of(const std::string& file_path) const;

    // Points CASTMILL_UPDATE_HOST, CASTMILL_DOWNLOAD_HOST, CASTMILL_LOG_HOST and
    // CASTMILL_WEB_HOST of this process (and so of its children) at the server.
    void set_host_environment() const;

    void add_fault(const FaultRule& rule);
    void fail_next(const std::string& path, int status, int times = 1);
    void cut_after(const std::string& path, int64_t bytes, int times = -1);
    void delay(const std::string& path, std::chrono::milliseconds wait, int times = -1);
    void ignore_ranges(const std::string& path, int times = -1);
    void serve_wrong_bytes(const std::string& path, int times = -1);
    void clear_faults();

    std::vector<RecordedRequest> requests() const;
    int count_requests(const std::string& path) const;
    void clear_requests();

    // Accepted log posts, oldest first: {"ltoken": ..., "fields": {name: text, ...},
    // "files": {name: {"filename", "size", "md5"}}}.
    std::vector<nlohmann::json> reports() const;
    const std::filesystem::path& reports_file() const { return reports_; }
    // The server's request log (stderr).
    std::string log() const { return read_file(log_); }

private:
    void control(const nlohmann::json& body) const;

    DistServerOptions options_;
    TempDir dir_;
    std::filesystem::path reports_;
    std::filesystem::path log_;
    int pid_ = -1;
    int port_ = 0;
};

struct HttpReply {
    int curl_code = 0;  // CURLcode of the transfer
    long status = 0;
    std::string body;
    std::map<std::string, std::string> headers;  // names in lower case
};

// One-shot requests for tests, 127.0.0.1 only by the caller's choice of URL. ca_file: trust
// this certificate for HTTPS.
HttpReply http_get(const std::string& url, const std::vector<std::string>& headers = {},
                   const std::string& ca_file = {});
HttpReply http_head(const std::string& url, const std::vector<std::string>& headers = {});
HttpReply http_post(const std::string& url, const std::string& body,
                    const std::string& content_type, const std::vector<std::string>& headers = {});

// Runs build/<preset>/bin/publish; returns the release folder. Throws std::runtime_error with
// publish's output on failure. extra: further arguments such as {"--full-package", path}.
std::filesystem::path publish_release(const std::filesystem::path& source,
                                      const std::string& version, const std::filesystem::path& out,
                                      const std::vector<std::string>& extra = {});

// The sample suite (sample_suite.h) at dir/suite published (by default as version 2.0.0 into
// dir/release, signed with the test key the build pins) and served with the sample
// credentials, the hosts of this process pointing at it. The signed version answer names the
// server's own manifest URL. extra: further publish arguments.
struct SampleRelease {
    std::string folder = "release";  // under dir
    std::string version = "2.0.0";
    bool sign = true;
};
std::unique_ptr<DistServer> serve_sample_release(const std::filesystem::path& dir,
                                                 const std::vector<std::string>& extra = {},
                                                 const SampleRelease& release = {});

// Adds VeloraOBS/bin/big.dll of 16 MiB, which no compression shrinks, to a suite: a download
// long enough to slow down.
void add_big_file(const std::filesystem::path& suite);
inline constexpr const char* kBigFile = "VeloraOBS/bin/big.dll";

}  // namespace castmill::test
