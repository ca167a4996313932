#include "report/report_client.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/crypto.h"
#include "report/log_key.h"
#include "support/dist_server.h"
#include "support/log_capture.h"
#include "support/program_run.h"
#include "support/test_env.h"
#include "sys/folders.h"
#include "sys/machine_identity.h"

namespace {

namespace fs = std::filesystem;
using castmill::test::bin_dir;
using castmill::test::DistServer;
using castmill::test::DistServerOptions;
using castmill::test::LogCapture;
using castmill::test::read_file;
using castmill::test::run_in_forked_child;
using castmill::test::run_program;
using castmill::test::TempDir;
using castmill::test::test_programs_dir;
using castmill::test::write_file;

constexpr const char* kAppId = "a1b2c3d4e5f6a7b8";
constexpr const char* kAppSecret = "0f1e2d3c4b5a6978";
constexpr const char* kVersion = "2.0.0";

// Nothing listens on port 1 of the loopback address: connections are refused at once.
constexpr const char* kClosedHost = "http://127.0.0.1:1";

class ReportClientTest : public ::testing::Test {
protected:
    // A server accepting kAppId/kAppSecret for every version; the hosts point at it.
    void start_server(DistServerOptions options = {}) {
        if (options.app_id.empty() && options.credentials.empty()) {
            options.app_id = kAppId;
            options.app_secret = kAppSecret;
        }
        server = std::make_unique<DistServer>(options);
        server->set_host_environment();
    }

    // log.key where init_report looks first: "data" beside the executable.
    void write_key(const std::map<std::string, LogKeyEntry>& entries) {
        write_file(exe_dir() / "data/log.key", make_log_key(entries));
    }

    fs::path exe_dir() const { return tmp / "bin"; }

    std::vector<std::string> texts() const {
        std::vector<std::string> out;
        for (const auto& r : server->reports()) out.push_back(r["fields"].value("text", ""));
        return out;
    }

    TempDir tmp;
    LogCapture log;
    std::unique_ptr<DistServer> server;
};

size_t count_of(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

TEST_F(ReportClientTest, ReportsArriveInQueuedOrderWithEveryField) {
    start_server();
    write_key({{kVersion, {kAppId, kAppSecret}}});
    BlogReporter reporter;
    ASSERT_TRUE(init_report(reporter, kVersion, exe_dir()));
    EXPECT_TRUE(log.contains("init_report key file: " + (exe_dir() / "data/log.key").string()));

    ::testing::internal::CaptureStderr();
    ::testing::internal::CaptureStdout();
    const std::vector<std::string> sent = {"check done", "download done", "install done",
                                           "app started", "tschüss \"quoted\""};
    for (size_t i = 0; i < sent.size(); ++i) {
        reporter.report("setup", "I910" + std::to_string(i), sent[i]);
    }
    reporter.stop();
    // The upload trace is in the log, for support; the console shows none of it.
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    const std::string trace = log.text();

    EXPECT_EQ(texts(), sent);
    const auto reports = server->reports();
    ASSERT_EQ(reports.size(), sent.size());
    for (size_t i = 0; i < reports.size(); ++i) {
        const auto& fields = reports[i]["fields"];
        EXPECT_EQ(fields.value("logNo", ""), "I910" + std::to_string(i));
        EXPECT_EQ(fields.value("type", ""), "setup");
        EXPECT_EQ(fields.value("platform", ""), "windows");
        EXPECT_EQ(fields.value("version", ""), kVersion);
        EXPECT_EQ(fields.value("language", ""), "en");
        EXPECT_EQ(fields.value("pcid", ""), velora::sys::get_pcid());
        EXPECT_EQ(fields.value("email", "missing"), "");
        EXPECT_EQ(fields.value("accountId", "missing"), "");
        const std::string time = fields.value("time", "");
        EXPECT_GE(time.size(), 13u);
        EXPECT_EQ(time.find_first_not_of("0123456789"), std::string::npos) << time;
        EXPECT_TRUE(reports[i]["files"].empty());
        // One token, granted once for a valid signature, serves every report.
        EXPECT_EQ(reports[i]["ltoken"], reports[0]["ltoken"]);
    }
    EXPECT_EQ(server->count_requests(DistServer::kEchoPath), 1);
    EXPECT_EQ(server->count_requests(DistServer::kTokenPath), 1);

    // The form's parts, in the order the service reads them, as the upload trace shows.
    const auto first_post = trace.find("=> Send data");
    ASSERT_NE(first_post, std::string::npos);
    size_t at = first_post;
    for (const char* name : {"text", "logNo", "type", "platform", "time", "version", "language",
                             "pcid", "email", "accountId"}) {
        const size_t next = trace.find("name=\"" + std::string(name) + "\"", at);
        ASSERT_NE(next, std::string::npos) << name;
        at = next;
    }
    // Sent with every post, and never shown.
    EXPECT_EQ(count_of(trace, "ltoken:<hidden>"), sent.size());
    EXPECT_EQ(trace.find(reports[0]["ltoken"].get<std::string>()), std::string::npos);
}

TEST_F(ReportClientTest, KeyWithoutTheVersionFallsBackToTheDefaultVersion) {
    start_server();
    // The vendor's tool writes the key file.
    fs::create_directories(exe_dir() / "data");
    const auto keygen = run_program(
        bin_dir() / "logkey", {"--out", (exe_dir() / "data/log.key").string(), "--entry", "1.0.0",
                               kAppId, kAppSecret, "--entry", "0.9.0", "x", "y"});
    ASSERT_EQ(keygen.exit_code, 0) << keygen.err;
    const auto no_secret = run_program(
        bin_dir() / "logkey", {"--out", (tmp / "bad.key").string(), "--entry", "1.0.0", kAppId});
    EXPECT_EQ(no_secret.exit_code, 2);
    EXPECT_NE(no_secret.err.find("--entry needs VERSION APP_ID APP_SECRET"), std::string::npos);
    EXPECT_FALSE(fs::exists(tmp / "bad.key"));

    BlogReporter reporter;
    ASSERT_TRUE(init_report(reporter, kVersion, exe_dir()));
    EXPECT_TRUE(
        log.contains("parse_log_key_iv file: 0 version: 2.0.0 falied: "
                     "[init_log_key]castmill-pc:2.0.0 key missing"));
    EXPECT_TRUE(log.contains("try get version: 1.0.0 kv success"));
    reporter.report("setup", "I9100", "with the default credentials");
    reporter.stop();
    // Reports keep the version given; the 1.0.0 credentials sign them.
    const auto reports = server->reports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0]["fields"].value("version", ""), kVersion);
}

TEST_F(ReportClientTest, UnusableKeyFileLeavesReportingDisabled) {
    start_server();
    BlogReporter reporter;
    EXPECT_FALSE(init_report(reporter, kVersion, exe_dir()));
    EXPECT_TRUE(log.contains("init_report key file missing. file: " +
                             (exe_dir() / "data/log.key").string() + ", retry get castmill"));

    const std::string bad_keys[] = {
        "this is not base64 at all!",
        aes_encrypt_base64("{\"data\": {}}", "another key 16ch", "another iv 16chr"),
        aes_encrypt_base64("[\"castmill-pc:2.0.0\"]", "7f19c2e04ab58d36", "c05e9a1f73b24d68"),
    };
    for (const std::string& key : bad_keys) {
        SCOPED_TRACE(key);
        write_file(exe_dir() / "data/log.key", key);
        EXPECT_FALSE(init_report(reporter, kVersion, exe_dir()));
        EXPECT_FALSE(reporter.enabled());
    }
    EXPECT_TRUE(log.contains("parse_log_key_iv file: 0 version: 2.0.0 falied: [json.exception"));
    EXPECT_TRUE(log.contains("falied: [init_log_key]parse log key json failed"));
    EXPECT_FALSE(log.contains("kv success"));

    reporter.report("setup", "I9100", "dropped");
    reporter.stop();
    EXPECT_TRUE(server->requests().empty());
}

TEST_F(ReportClientTest, KeyFileIsFoundInTheSuiteWhenNotBesideTheExecutable) {
    const fs::path root = tmp / "Apps/Castmill";
    fs::create_directories(root / "velora_cam");
    fs::create_directories(root / "VeloraBrowser/Browser");
    write_file(root / "VeloraOBS/log-upload/log.key",
               make_log_key({{kVersion, {kAppId, kAppSecret}}}));
    EXPECT_TRUE(run_in_forked_child([&] {
        ASSERT_EQ(chdir((root / "VeloraBrowser/Browser").c_str()), 0);
        BlogReporter reporter;
        EXPECT_TRUE(init_report(reporter, kVersion, exe_dir()));
        EXPECT_TRUE(log.contains("init_report key file: ../../VeloraOBS/log-upload/log.key"));
        EXPECT_TRUE(reporter.enabled());
    }));
    EXPECT_TRUE(run_in_forked_child([&] {
        ASSERT_EQ(chdir(tmp.path().c_str()), 0);
        BlogReporter reporter;
        EXPECT_FALSE(init_report(reporter, kVersion, exe_dir()));
        EXPECT_TRUE(log.contains(
            "init_report key file missing. file: " + (exe_dir() / "data/log.key").string() + "\n"));
    }));
}

TEST_F(ReportClientTest, KeyFileOfTheSuiteServesTheInstalledVersionOnce) {
    start_server();
    const fs::path root = tmp / "suite";
    fs::create_directories(root / "velora_cam");
    fs::create_directories(root / "VeloraBrowser");
    write_file(root / "Update/config.json", "{\"gver\": \"3.0.0\"}");
    write_file(root / "VeloraOBS/log-upload/log.key",
               make_log_key({{"3.0.0", {kAppId, kAppSecret}}}));
    EXPECT_TRUE(run_in_forked_child([&] {
        ASSERT_EQ(chdir(root.c_str()), 0);
        BlogReporter reporter;
        std::string error;
        ASSERT_TRUE(reporter.init_from_key_file("", "user@example.com", error)) << error;
        reporter.report("setup", "I9100", "installed version");
        // The credentials are kept: a second set-up does not read the key file again.
        fs::remove(root / "VeloraOBS/log-upload/log.key");
        BlogReporter second;
        ASSERT_TRUE(second.init_from_key_file("3.0.0", "", error)) << error;
        reporter.stop();
        second.stop();
    }));
    const auto reports = server->reports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0]["fields"].value("version", ""), "3.0.0");
    EXPECT_EQ(reports[0]["fields"].value("email", ""), "user@example.com");
}

TEST_F(ReportClientTest, WithoutAnAddressNothingIsPostedUntilTheEchoAnswers) {
    start_server();
    write_key({{kVersion, {kAppId, kAppSecret}}});
    server->fail_next(DistServer::kEchoPath, 500, 2);
    BlogReporter reporter;
    ASSERT_TRUE(init_report(reporter, kVersion, exe_dir()));
    reporter.report("setup", "I9100", "first");
    reporter.report("setup", "I9101", "second");
    reporter.report("setup", "I9102", "third");
    reporter.stop();
    EXPECT_EQ(count_of(log.text(), "[report log]get post token faield"), 2u);
    EXPECT_EQ(texts(), std::vector<std::string>{"third"});
    EXPECT_EQ(server->count_requests(DistServer::kTokenPath), 1);
}

TEST_F(ReportClientTest, UnreachableEchoServiceEndsEveryReportQuickly) {
    start_server();
    setenv("CASTMILL_WEB_HOST", kClosedHost, 1);
    write_key({{kVersion, {kAppId, kAppSecret}}});
    BlogReporter reporter;
    ASSERT_TRUE(init_report(reporter, kVersion, exe_dir()));
    for (int i = 0; i < 3; ++i) reporter.report("setup", "I9100", "lost");
    reporter.stop();
    EXPECT_EQ(count_of(log.text(), "[report log]get post token faield"), 3u);
    EXPECT_TRUE(server->requests().empty());
}

TEST_F(ReportClientTest, RejectedTokenRequestIsLoggedWithTheAnswer) {
    start_server();
    write_key({{kVersion, {kAppId, "wrong secret 16c"}}});
    BlogReporter reporter;
    ASSERT_TRUE(init_report(reporter, kVersion, exe_dir()));
    reporter.report("setup", "I9100", "unsigned");
    reporter.stop();
    EXPECT_TRUE(
        log.contains("[report log]post token resp\xEF\xBC\x9A {\"msg\":\"signature invalid\""));
    EXPECT_TRUE(log.contains("[report log]get post token faield"));
    EXPECT_EQ(server->count_requests(DistServer::kLogPath), 0);
}

TEST_F(ReportClientTest, StopDeliversWhatWasQueuedAndDropsLaterReports) {
    start_server();
    write_key({{kVersion, {kAppId, kAppSecret}}});
    // Slow posts keep the later reports in the queue when stop is called.
    server->delay(DistServer::kLogPath, std::chrono::milliseconds(100));
    BlogReporter reporter;
    ASSERT_TRUE(init_report(reporter, kVersion, exe_dir()));
    reporter.report("setup", "I9100", "one");
    reporter.report("setup", "I9101", "two");
    reporter.report("setup", "I9102", "three");
    reporter.stop();
    reporter.report("setup", "I9103", "too late");
    reporter.stop();
    EXPECT_EQ(texts(), (std::vector<std::string>{"one", "two", "three"}));
}

TEST_F(ReportClientTest, EmptyTextIsNotPosted) {
    start_server();
    write_key({{kVersion, {kAppId, kAppSecret}}});
    BlogReporter reporter;
    ASSERT_TRUE(init_report(reporter, kVersion, exe_dir()));
    reporter.report("setup", "I9100", "");
    reporter.report("setup", "I9101", "after the empty one");
    reporter.stop();
    EXPECT_EQ(texts(), std::vector<std::string>{"after the empty one"});
}

TEST_F(ReportClientTest, ZipFileIsUploadedAsItIs) {
    start_server();
    write_key({{kVersion, {kAppId, kAppSecret}}});
    const fs::path zip = tmp / "logs/castmill-logs.zip";
    const std::string content = "PK\x03\x04 zipped logs " + std::string(5000, 'z');
    write_file(zip, content);
    BlogReporter reporter;
    ASSERT_TRUE(init_report(reporter, kVersion, exe_dir()));
    reporter.report_file("setup", "I9300", zip);
    reporter.stop();

    const auto reports = server->reports();
    ASSERT_EQ(reports.size(), 1u);
    const auto& file = reports[0]["files"]["file"];
    EXPECT_EQ(file.value("filename", ""), "castmill-logs.zip");
    EXPECT_EQ(file.value("size", 0u), content.size());
    EXPECT_EQ(file.value("md5", ""), md5_hex(content));
    EXPECT_EQ(reports[0]["fields"].value("logNo", ""), "I9300");
    EXPECT_FALSE(reports[0]["fields"].contains("text"));
    EXPECT_EQ(read_file(zip), content);
}

TEST_F(ReportClientTest, FolderIsUploadedAsATemporaryArchiveThatIsThenDeleted) {
    start_server();
    write_key({{kVersion, {kAppId, kAppSecret}}});
    const fs::path root = tmp / "Castmill";
    fs::create_directories(root / "velora_cam");
    fs::create_directories(root / "VeloraBrowser");
    fs::create_directories(root / "VeloraOBS/7z");
    fs::copy_file(test_programs_dir() / "fake_7z", root / "VeloraOBS/7z/7z.exe");
    write_file(tmp / "my logs/setup-1.log", "first run\n");
    write_file(tmp / "my logs/setup-2.log", "second run\n");

    // The archiver is found through the suite around the current directory.
    EXPECT_TRUE(run_in_forked_child([&] {
        ASSERT_EQ(chdir(root.c_str()), 0);
        BlogReporter reporter;
        ASSERT_TRUE(init_report(reporter, kVersion, exe_dir()));
        reporter.report_file("setup", "I9300", tmp / "my logs");
        reporter.stop();
    }));

    const auto reports = server->reports();
    ASSERT_EQ(reports.size(), 1u);
    const auto& file = reports[0]["files"]["file"];
    EXPECT_EQ(file.value("filename", ""), "my logs.zip");
    EXPECT_GT(file.value("size", 0u), 40u);
    EXPECT_TRUE(fs::exists(tmp / "my logs/setup-1.log"));
    const fs::path staging = *velora::sys::temp_directory() / "upload_log";
    EXPECT_TRUE(!fs::exists(staging) || fs::is_empty(staging));
}

TEST_F(ReportClientTest, FileThatCannotBeArchivedIsNotPosted) {
    start_server();
    write_key({{kVersion, {kAppId, kAppSecret}}});
    write_file(tmp / "setup.log", "no archiver around\n");
    BlogReporter reporter;
    ASSERT_TRUE(init_report(reporter, kVersion, exe_dir()));
    reporter.report_file("setup", "I9300", tmp / "setup.log");
    reporter.report_file("setup", "I9301", tmp / "missing.log");
    reporter.stop();
    EXPECT_TRUE(log.contains("[upload log] zip file failed: 110"));
    EXPECT_EQ(server->count_requests(DistServer::kLogPath), 0);
    const fs::path staging = *velora::sys::temp_directory() / "upload_log";
    EXPECT_TRUE(!fs::exists(staging) || fs::is_empty(staging));
}

// The log service behind a certificate of a private authority.
TEST_F(ReportClientTest, PostsAreMadeOnlyToAVerifiedServer) {
    const std::string d = tmp.path().string();
    ASSERT_EQ(std::system(("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 "
                           "-nodes -keyout " +
                           d + "/server.key -out " + d +
                           "/server.crt -days 2 -subj /CN=127.0.0.1 "
                           "-addext subjectAltName=IP:127.0.0.1 2>/dev/null")
                              .c_str()),
              0);
    DistServerOptions options;
    options.cert = tmp / "server.crt";
    options.key = tmp / "server.key";
    start_server(options);
    write_key({{kVersion, {kAppId, kAppSecret}}});
    {
        BlogReporter reporter;
        ASSERT_TRUE(init_report(reporter, kVersion, exe_dir()));
        reporter.report("setup", "I9100", "to an unknown certificate");
        reporter.stop();
    }
    EXPECT_TRUE(log.contains("[report log]get post token faield"));
    EXPECT_TRUE(server->reports().empty());

    setenv("CASTMILL_CA_BUNDLE", (tmp / "server.crt").c_str(), 1);
    {
        BlogReporter reporter;
        ASSERT_TRUE(init_report(reporter, kVersion, exe_dir()));
        reporter.report("setup", "I9100", "to the trusted server");
        reporter.stop();
    }
    unsetenv("CASTMILL_CA_BUNDLE");
    EXPECT_EQ(texts(), std::vector<std::string>{"to the trusted server"});
}

// The process-wide reporter at process exit: stopped first (the orderly exit) and not.
TEST_F(ReportClientTest, ProcessWideReporterEndsCleanlyAtExit) {
    start_server();
    write_key({{kVersion, {kAppId, kAppSecret}}});
    EXPECT_TRUE(run_in_forked_child([&] {
        ASSERT_TRUE(init_report(blog_reporter(), kVersion, exe_dir()));
        report("I9105", "orderly exit");
        blog_reporter().stop();
        report("I9105", "after stop");
        std::exit(0);
    }));
    EXPECT_EQ(texts(), std::vector<std::string>{"orderly exit"});

    server->delay(DistServer::kLogPath, std::chrono::milliseconds(200));
    EXPECT_TRUE(run_in_forked_child([&] {
        ASSERT_TRUE(init_report(blog_reporter(), kVersion, exe_dir()));
        for (int i = 0; i < 20; ++i) report("I9105", "exit without stop");
        std::exit(0);
    }));
    EXPECT_LT(server->reports().size(), 21u);
}

}  // namespace
