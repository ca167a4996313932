#include <curl/curl.h>
#include <gtest/gtest.h>

#include <chrono>
#include <nlohmann/json.hpp>

#include "base/crypto.h"
#include "report/log_signature.h"
#include "support/dist_server.h"
#include "support/test_env.h"

namespace castmill::test {
namespace {

namespace fs = std::filesystem;

constexpr const char* kAppId = "a1b2c3d4e5f6a7b8";
constexpr const char* kAppSecret = "0f1e2d3c4b5a6978";

std::string bytes_of(size_t n, unsigned seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + seed * 7 + i / 253) & 0xff);
    return s;
}

class DistServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        write_file(dir_ / "suite/VeloraOBS/bin/64bit/obs64.exe", bytes_of(300000, 1));
        write_file(dir_ / "suite/VeloraOBS/data/locale/en US.ini", "Title=Castmill\n");
        write_file(dir_ / "suite/Connect/empty.txt", "");
        write_file(dir_ / "suite/castmill.exe", bytes_of(7000, 2));
        write_file(dir_ / "full.exe", bytes_of(5000, 3));
        release_ = publish_release(dir_ / "suite", "2.4.1", dir_ / "release",
                                   {"--full-package", (dir_ / "full.exe").string()});
    }

    DistServerOptions options() const {
        DistServerOptions o;
        o.release = release_;
        o.app_id = kAppId;
        o.app_secret = kAppSecret;
        return o;
    }

    std::string token_for(const DistServer& server, const std::string& body) const {
        const HttpReply reply = http_post(server.url() + DistServer::kTokenPath, body,
                                          "application/x-www-form-urlencoded");
        EXPECT_EQ(reply.status, 200);
        const auto answer = nlohmann::json::parse(reply.body);
        if (!answer.value("result", false)) return {};
        return answer.at("data").at("ltoken");
    }

    TempDir dir_;
    fs::path release_;
};

TEST_F(DistServerTest, ServesTheReleaseThatTheVersionAnswerPointsTo) {
    DistServer server(options());
    const HttpReply version = http_get(server.url() + DistServer::kVersionPath + "?castmill=1.0.0");
    ASSERT_EQ(version.status, 200) << version.body;
    const auto answer = nlohmann::json::parse(version.body);
    EXPECT_EQ(answer.at("version"), "2.4.1");
    EXPECT_EQ(answer.at("hasUpdate"), true);
    ASSERT_EQ(answer.at("url"), server.manifest_url());

    const HttpReply manifest = http_get(server.manifest_url());
    ASSERT_EQ(manifest.status, 200);
    EXPECT_EQ(manifest.headers.at("etag"), "\"" + md5_hex(manifest.body) + "\"");
    const auto list = nlohmann::json::parse(manifest.body).at("fileList");
    ASSERT_EQ(list.size(), 4u);
    for (const auto& entry : list) {
        const std::string path = entry.at("filePath");
        // Blanks travel as %20, as the engine sends them.
        std::string escaped;
        for (char c : path) escaped += c == ' ' ? std::string("%20") : std::string(1, c);
        const HttpReply file = http_get(server.release_url() + "/" + escaped);
        ASSERT_EQ(file.status, 200) << path;
        EXPECT_EQ(md5_hex(file.body), entry.at("hash")) << path;
        EXPECT_EQ(file.body.size(), entry.at("fileSize").get<size_t>()) << path;
        EXPECT_EQ(file.headers.at("etag"), "\"" + entry.at("hash").get<std::string>() + "\"");
    }

    const HttpReply zip = http_get(server.release_url() + "/Castmill_winUpdate.zip");
    EXPECT_EQ(zip.status, 200);
    EXPECT_EQ(md5_hex(zip.body), md5_file_hex(release_ / "Castmill_winUpdate.zip"));
    const HttpReply head = http_head(server.release_url() + "/Castmill_winUpdate.zip");
    EXPECT_EQ(head.status, 200);
    EXPECT_EQ(head.headers.at("content-length"), std::to_string(zip.body.size()));
    const HttpReply full = http_get(server.url() + DistServer::kFullPackagePath);
    EXPECT_EQ(full.status, 200);
    EXPECT_EQ(full.body, bytes_of(5000, 3));
}

TEST_F(DistServerTest, VersionAnswerChecksMethodAndQuery) {
    DistServer server(options());
    EXPECT_EQ(http_get(server.url() + DistServer::kVersionPath).status, 400);
    EXPECT_EQ(http_get(server.url() + DistServer::kVersionPath + "?castmill=1.0.5").status, 400);
    // A client that keeps a Range header from an earlier download still gets the whole answer.
    const HttpReply ranged = http_get(server.url() + DistServer::kVersionPath + "?castmill=1.0.0",
                                      {"Range: bytes=100-"});
    EXPECT_EQ(ranged.status, 200);
    EXPECT_EQ(nlohmann::json::parse(ranged.body).at("version"), "2.4.1");
    EXPECT_EQ(http_post(server.url() + DistServer::kVersionPath + "?castmill=1.0.0", "",
                        "application/x-www-form-urlencoded")
                  .status,
              405);

    DistServerOptions o = options();
    o.download_host = "https://cdn.example.test";
    o.release_path = "/rel/20261208";
    DistServer other(o);
    const auto answer = nlohmann::json::parse(
        http_get(other.url() + DistServer::kVersionPath + "?castmill=1.0.0").body);
    EXPECT_EQ(answer.at("url"), "https://cdn.example.test/rel/20261208/manifest.json");
    EXPECT_EQ(http_get(other.url() + "/rel/20261208/castmill.exe").status, 200);

    DistServer empty;
    EXPECT_EQ(http_get(empty.url() + DistServer::kVersionPath + "?castmill=1.0.0").status, 404);
}

TEST_F(DistServerTest, AnswersByteRangesAnd416PastTheEnd) {
    DistServer server(options());
    const std::string url = server.release_url() + "/castmill.exe";
    const std::string content = bytes_of(7000, 2);

    HttpReply part = http_get(url, {"Range: bytes=100-199"});
    EXPECT_EQ(part.status, 206);
    EXPECT_EQ(part.body, content.substr(100, 100));
    EXPECT_EQ(part.headers.at("content-range"), "bytes 100-199/7000");

    part = http_get(url, {"Range: bytes=6990-"});
    EXPECT_EQ(part.status, 206);
    EXPECT_EQ(part.body, content.substr(6990));

    part = http_get(url, {"Range: bytes=-10"});
    EXPECT_EQ(part.status, 206);
    EXPECT_EQ(part.body, content.substr(6990));

    // A resume of a complete file.
    const HttpReply done = http_get(url, {"Range: bytes=7000-"});
    EXPECT_EQ(done.status, 416);
    EXPECT_EQ(done.headers.at("content-range"), "bytes */7000");
    EXPECT_TRUE(done.body.empty());

    // A stale validator gets the whole new content.
    const HttpReply stale = http_get(url, {"Range: bytes=100-", "If-Range: \"0000\""});
    EXPECT_EQ(stale.status, 200);
    EXPECT_EQ(stale.body, content);
    const HttpReply fresh =
        http_get(url, {"Range: bytes=100-", "If-Range: \"" + md5_hex(content) + "\""});
    EXPECT_EQ(fresh.status, 206);

    const HttpReply empty = http_get(server.release_url() + "/Connect/empty.txt");
    EXPECT_EQ(empty.status, 200);
    EXPECT_TRUE(empty.body.empty());
}

TEST_F(DistServerTest, ServesNothingOutsideTheRelease) {
    write_file(dir_ / "secret.txt", "secret");
    DistServer server(options());
    for (const std::string path :
         {"/../secret.txt", "/%2e%2e/secret.txt", "/VeloraOBS/../../secret.txt", "/", ""}) {
        const HttpReply reply = http_get(server.release_url() + path);
        EXPECT_EQ(reply.status, 404) << path;
        EXPECT_EQ(reply.body.find("secret"), std::string::npos) << path;
    }
    EXPECT_EQ(http_get(server.url() + "/nothing/here").status, 404);
}

TEST_F(DistServerTest, TokenServiceAcceptsOnlyAValidSignature) {
    DistServer server(options());
    const auto echo = nlohmann::json::parse(http_get(server.url() + DistServer::kEchoPath).body);
    ASSERT_EQ(echo.at("code"), 0);
    const std::string address = echo.at("data").at("cfip");
    EXPECT_EQ(address, "127.0.0.1");

    EXPECT_FALSE(token_for(server, make_signature(address, "1.0.0", kAppId, kAppSecret)).empty());
    // Wrong credentials, another address, a changed version and a missing platform.
    EXPECT_TRUE(
        token_for(server, make_signature(address, "1.0.0", kAppId, "ffffffffffffffff")).empty());
    EXPECT_TRUE(token_for(server, make_signature("10.1.2.3", "1.0.0", kAppId, kAppSecret)).empty());
    std::string changed = make_signature(address, "1.0.0", kAppId, kAppSecret);
    changed.replace(changed.rfind("1.0.0"), 5, "1.0.1");
    EXPECT_TRUE(token_for(server, changed).empty());
    std::string no_platform = make_signature(address, "1.0.0", kAppId, kAppSecret);
    no_platform.replace(no_platform.find("&pf=castmill-pc"), 15, "");
    EXPECT_TRUE(token_for(server, no_platform).empty());
    EXPECT_TRUE(token_for(server, "signature=&pf=castmill-pc&ver=1.0.0").empty());
    EXPECT_EQ(http_get(server.url() + DistServer::kTokenPath).status, 405);
}

TEST_F(DistServerTest, TokenServiceTakesCredentialsPerVersionFromJson) {
    write_file(dir_ / "creds.json", R"({"data": {
        "castmill-pc:1.0.0": {"appId": "1111222233334444", "appSecrect": "5555666677778888"},
        "castmill-pc:2.4.1": {"appId": "aaaabbbbccccdddd", "appSecrect": "eeeeffff00001111"}}})");
    DistServerOptions o;
    o.credentials = dir_ / "creds.json";
    o.echo_address = "203.0.113.9";
    DistServer server(o);
    EXPECT_EQ(nlohmann::json::parse(http_get(server.url() + DistServer::kEchoPath).body)
                  .at("data")
                  .at("cfip"),
              "203.0.113.9");
    EXPECT_FALSE(token_for(server, make_signature("203.0.113.9", "2.4.1", "aaaabbbbccccdddd",
                                                  "eeeeffff00001111"))
                     .empty());
    // The credentials of another version do not sign for this one.
    EXPECT_TRUE(token_for(server, make_signature("203.0.113.9", "2.4.1", "1111222233334444",
                                                 "5555666677778888"))
                    .empty());
    EXPECT_TRUE(token_for(server, make_signature("203.0.113.9", "3.0.0", "1111222233334444",
                                                 "5555666677778888"))
                    .empty());
}

// Posts a report the way the report client does: a multipart form and "ltoken:" + token.
HttpReply post_report(const DistServer& server, const std::string& token,
                      const fs::path& file = {}) {
    HttpReply reply;
    CURL* c = curl_easy_init();
    curl_mime* mime = curl_mime_init(c);
    auto add = [mime](const char* name, const std::string& value) {
        curl_mimepart* part = curl_mime_addpart(mime);
        curl_mime_name(part, name);
        curl_mime_data(part, value.c_str(), value.size());
    };
    if (file.empty()) {
        add("text", "install[v:2.4.1 m:3] success");
    } else {
        curl_mimepart* part = curl_mime_addpart(mime);
        curl_mime_name(part, "file");
        curl_mime_filedata(part, file.c_str());
    }
    add("logNo", "I9104");
    add("type", "setup");
    add("platform", "windows");
    add("time", "1765000000000");
    add("version", "2.4.1");
    add("language", "en");
    add("pcid", "pc-1");
    add("email", "");
    add("accountId", "");
    curl_slist* headers = curl_slist_append(nullptr, ("ltoken:" + token).c_str());
    const std::string url = server.url() + DistServer::kLogPath;
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_MIMEPOST, mime);
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(c, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(
        c, CURLOPT_WRITEFUNCTION, +[](char*, size_t s, size_t n, void*) { return s * n; });
    reply.curl_code = curl_easy_perform(c);
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &reply.status);
    curl_slist_free_all(headers);
    curl_mime_free(mime);
    curl_easy_cleanup(c);
    return reply;
}

TEST_F(DistServerTest, LogEndpointRecordsReportsWithAValidTokenOnly) {
    DistServer server(options());
    const std::string token =
        token_for(server, make_signature("127.0.0.1", "2.4.1", kAppId, kAppSecret));
    ASSERT_FALSE(token.empty());

    EXPECT_EQ(post_report(server, "not-a-token").status, 401);
    EXPECT_EQ(post_report(server, "").status, 401);
    EXPECT_TRUE(server.reports().empty());

    EXPECT_EQ(post_report(server, token).status, 200);
    const fs::path upload = dir_ / "logs.zip";
    write_file(upload, bytes_of(12345, 4));
    EXPECT_EQ(post_report(server, token, upload).status, 200);
    EXPECT_EQ(http_post(server.url() + DistServer::kLogPath, "logNo=I9104",
                        "application/x-www-form-urlencoded", {"ltoken:" + token})
                  .status,
              400);

    const auto reports = server.reports();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0].at("ltoken"), token);
    const auto& fields = reports[0].at("fields");
    EXPECT_EQ(fields.at("text"), "install[v:2.4.1 m:3] success");
    EXPECT_EQ(fields.at("logNo"), "I9104");
    EXPECT_EQ(fields.at("pcid"), "pc-1");
    EXPECT_EQ(fields.at("email"), "");
    EXPECT_TRUE(reports[0].at("files").empty());
    const auto& file = reports[1].at("files").at("file");
    EXPECT_EQ(file.at("filename"), "logs.zip");
    EXPECT_EQ(file.at("size"), 12345);
    EXPECT_EQ(file.at("md5"), md5_hex(bytes_of(12345, 4)));
    EXPECT_FALSE(reports[1].at("fields").contains("text"));
}

TEST_F(DistServerTest, InjectsStatusesForTheNextRequestsOfAPath) {
    FaultRule at_start;
    at_start.path = DistServer::kVersionPath;
    at_start.status = 500;
    at_start.times = 1;
    DistServerOptions o = options();
    o.faults.push_back(at_start);
    DistServer server(o);
    const std::string version = server.url() + DistServer::kVersionPath + "?castmill=1.0.0";
    EXPECT_EQ(http_get(version).status, 500);
    EXPECT_EQ(http_get(version).status, 200);

    const std::string path = server.release_path_of("castmill.exe");
    server.fail_next(path, 429, 2);
    EXPECT_EQ(http_get(server.url() + path).status, 429);
    EXPECT_EQ(http_get(server.url() + path, {"Range: bytes=10-"}).status, 429);
    EXPECT_EQ(http_get(server.url() + path).status, 200);

    server.fail_next(path, 404, -1);
    EXPECT_EQ(http_get(server.url() + path).status, 404);
    EXPECT_EQ(http_get(server.url() + path).status, 404);
    server.clear_faults();
    EXPECT_EQ(http_get(server.url() + path).status, 200);

    FaultRule body;
    body.path = DistServer::kVersionPath;
    body.body = R"({"hasUpdate": false})";
    body.times = 1;
    server.add_fault(body);
    EXPECT_EQ(http_get(version).body, R"({"hasUpdate": false})");

    const auto requests = server.requests();
    ASSERT_EQ(server.count_requests(path), 6);
    EXPECT_EQ(requests[3].range, "bytes=10-");
    EXPECT_EQ(requests[3].status, 429);
    server.clear_requests();
    EXPECT_EQ(server.count_requests(path), 0);
}

TEST_F(DistServerTest, CutsWrongsDelaysAndIgnoresRanges) {
    DistServer server(options());
    const std::string path = server.release_path_of("VeloraOBS/bin/64bit/obs64.exe");
    const std::string url = server.url() + path;
    const std::string content = bytes_of(300000, 1);

    server.cut_after(path, 100000, 1);
    const HttpReply cut = http_get(url);
    EXPECT_EQ(cut.curl_code, CURLE_PARTIAL_FILE);
    EXPECT_EQ(cut.body, content.substr(0, 100000));
    const HttpReply resumed = http_get(url, {"Range: bytes=100000-"});
    EXPECT_EQ(resumed.status, 206);
    EXPECT_EQ(cut.body + resumed.body, content);

    server.serve_wrong_bytes(path, 1);
    const HttpReply wrong = http_get(url);
    EXPECT_EQ(wrong.status, 200);
    EXPECT_EQ(wrong.body.size(), content.size());
    EXPECT_NE(md5_hex(wrong.body), md5_hex(content));
    EXPECT_EQ(wrong.headers.at("etag"), "\"" + md5_hex(content) + "\"");

    server.ignore_ranges(path, 1);
    const HttpReply whole = http_get(url, {"Range: bytes=5-"});
    EXPECT_EQ(whole.status, 200);
    EXPECT_EQ(whole.body, content);
    EXPECT_EQ(http_get(url, {"Range: bytes=5-"}).status, 206);

    server.delay(path, std::chrono::milliseconds(300), 1);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(http_get(url).status, 200);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));

    FaultRule no_etag;
    no_etag.path = server.release_path_of("manifest.json");
    no_etag.no_etag = true;
    server.add_fault(no_etag);
    EXPECT_EQ(http_get(server.manifest_url()).headers.count("etag"), 0u);

    const HttpReply bad =
        http_post(server.url() + "/__control", R"({"faults": [{"path": "x", "status": 500}]})",
                  "application/json");
    EXPECT_EQ(bad.status, 400);
    EXPECT_EQ(http_post(server.url() + "/__control", "{", "application/json").status, 400);
}

TEST_F(DistServerTest, ServesHttpsWithTheGivenCertificate) {
    const ProgramRun cert = run_program(
        "/usr/bin/openssl", {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj",
                             "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-keyout",
                             (dir_ / "key.pem").string(), "-out", (dir_ / "cert.pem").string()});
    ASSERT_EQ(cert.exit_code, 0) << (cert.out + cert.err);
    DistServerOptions o = options();
    o.cert = dir_ / "cert.pem";
    o.key = dir_ / "key.pem";
    DistServer server(o);
    ASSERT_EQ(server.url().rfind("https://127.0.0.1:", 0), 0u);
    const HttpReply version = http_get(server.url() + DistServer::kVersionPath + "?castmill=1.0.0",
                                       {}, (dir_ / "cert.pem").string());
    ASSERT_EQ(version.status, 200) << version.curl_code;
    EXPECT_EQ(nlohmann::json::parse(version.body).at("url"), server.manifest_url());
    const HttpReply part = http_get(server.release_url() + "/castmill.exe", {"Range: bytes=6000-"},
                                    (dir_ / "cert.pem").string());
    EXPECT_EQ(part.status, 206);
    EXPECT_EQ(part.body, bytes_of(7000, 2).substr(6000));
    // Without trusting the certificate the transfer fails: verification stays on.
    EXPECT_EQ(http_get(server.manifest_url()).curl_code, CURLE_PEER_FAILED_VERIFICATION);
}

TEST_F(DistServerTest, StopsWhenTheLauncherGoesAway) {
    std::string url;
    {
        DistServer server(options());
        url = server.manifest_url();
        ASSERT_EQ(http_get(url).status, 200);
    }
    EXPECT_EQ(http_get(url).curl_code, CURLE_COULDNT_CONNECT);
}

TEST_F(DistServerTest, RefusesBadOptionsWithAClearMessage) {
    const ProgramRun run = run_program(bin_dir() / "distserver", {"--cert", "/nonexistent"});
    EXPECT_EQ(run.exit_code, 2);
    EXPECT_NE((run.out + run.err).find("--cert and --key go together"), std::string::npos);
    const ProgramRun port = run_program(bin_dir() / "distserver", {"--port", "80x"});
    EXPECT_EQ(port.exit_code, 2);
    EXPECT_NE((port.out + port.err).find("--port needs a number"), std::string::npos);
    const ProgramRun fault = run_program(bin_dir() / "distserver", {"--fault", "{\"status\":1}"});
    EXPECT_EQ(fault.exit_code, 1);
    EXPECT_NE((fault.out + fault.err).find("path"), std::string::npos);
}

}  // namespace
}  // namespace castmill::test
