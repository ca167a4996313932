#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "net/curl_wrapper.h"
#include "net/http_helper.h"
#include "support/nginx_server.h"
#include "support/test_env.h"

namespace {

namespace fs = std::filesystem;
using castmill::test::NginxOptions;
using castmill::test::NginxServer;
using castmill::test::read_file;
using castmill::test::TempDir;
using castmill::test::write_file;

// Sets an environment variable for one scope.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) {
        setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() { unsetenv(name_); }

private:
    const char* name_;
};

bool run(const std::string& command) {
    return std::system((command + " 2>/dev/null").c_str()) == 0;
}

// A private CA and two server certificates it signs: one for 127.0.0.1, one for another name.
class HttpTlsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        certs_ = new TempDir();
        const std::string d = certs_->path().string();
        const std::string key = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
        created_ = run("openssl req -x509" + key + " -keyout " + d + "/ca.key -out " + d +
                       "/ca.crt -days 2 -subj '/CN=Castmill Test CA'") &&
                   make_server_cert(d, "local", "IP:127.0.0.1") &&
                   make_server_cert(d, "other", "DNS:other.invalid");
    }

    static bool make_server_cert(const std::string& d, const std::string& name,
                                 const std::string& alt) {
        write_file(fs::path(d) / (name + ".ext"), "subjectAltName=" + alt + "\n");
        return run("openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout " +
                   d + "/" + name + ".key -out " + d + "/" + name + ".csr -subj /CN=" + name) &&
               run("openssl x509 -req -in " + d + "/" + name + ".csr -CA " + d + "/ca.crt -CAkey " +
                   d + "/ca.key -CAcreateserial -days 2 -out " + d + "/" + name + ".crt -extfile " +
                   d + "/" + name + ".ext");
    }

    static void TearDownTestSuite() {
        delete certs_;
        certs_ = nullptr;
    }

    void SetUp() override {
        ASSERT_TRUE(created_) << "openssl could not create the test certificates";
        write_file(root_ / "version.json", R"({"version":"1.0.5"})");
        unsetenv("CASTMILL_CA_BUNDLE");
    }

    std::unique_ptr<NginxServer> serve(const std::string& name) {
        NginxOptions options;
        options.root = root_.path();
        options.certificate = certs_->path() / (name + ".crt");
        options.certificate_key = certs_->path() / (name + ".key");
        auto server = std::make_unique<NginxServer>(std::move(options));
        EXPECT_TRUE(server->running()) << server->error();
        return server;
    }

    std::string ca_file() const { return (certs_->path() / "ca.crt").string(); }

    static TempDir* certs_;
    static bool created_;
    TempDir root_;
    TempDir out_;
};

TempDir* HttpTlsTest::certs_ = nullptr;
bool HttpTlsTest::created_ = false;

TEST_F(HttpTlsTest, PrivateCaIsTrustedOnlyThroughTheBundleVariable) {
    const auto server = serve("local");
    const std::string url = server->url("/version.json");
    CurlWrapper curl(30);
    std::string body;
    EXPECT_EQ(curl.get(url, body), CURLE_PEER_FAILED_VERIFICATION);
    std::string response;
    EXPECT_EQ(HttpHelper().get_json(url, response, {}, 4), CURLE_PEER_FAILED_VERIFICATION);
    EXPECT_TRUE(response.empty());

    const ScopedEnv bundle("CASTMILL_CA_BUNDLE", ca_file());
    EXPECT_EQ(curl.get(url, body), 0);
    EXPECT_EQ(body, R"({"version":"1.0.5"})");
    EXPECT_EQ(HttpHelper().get_json(url, response, {}, 4), 0);
    EXPECT_EQ(response, R"({"version":"1.0.5"})");
    EXPECT_EQ(HttpHelper().post_form(url, "a=1", response, {}, 10), 0);
    EXPECT_EQ(curl.download(url, out_ / "v.json", false, 0), 0);
    EXPECT_EQ(read_file(out_ / "v.json"), body);
    EXPECT_EQ(curl.download(url, out_ / "v.part", std::int64_t{2}, std::int64_t{8}), 0);
    EXPECT_EQ(read_file(out_ / "v.part"), body.substr(2, 7));
}

TEST_F(HttpTlsTest, CertificateForAnotherHostIsRefusedEvenFromTheTrustedCa) {
    const auto server = serve("other");
    const ScopedEnv bundle("CASTMILL_CA_BUNDLE", ca_file());
    CurlWrapper curl(30);
    std::string body;
    EXPECT_EQ(curl.get(server->url("/version.json"), body), CURLE_PEER_FAILED_VERIFICATION);
    std::string response;
    EXPECT_EQ(HttpHelper().post_form(server->url("/version.json"), "a=1", response, {}, 10),
              CURLE_PEER_FAILED_VERIFICATION);
}

}  // namespace
