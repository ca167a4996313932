#include "net/file_downloader.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/crypto.h"
#include "base/result_codes.h"
#include "net/curl_wrapper.h"
#include "support/dist_server.h"
#include "support/nginx_server.h"
#include "support/test_env.h"

namespace {

namespace fs = std::filesystem;
using castmill::test::DistServer;
using castmill::test::DistServerOptions;
using castmill::test::FaultRule;
using castmill::test::NginxOptions;
using castmill::test::NginxServer;
using castmill::test::read_file;
using castmill::test::TempDir;
using castmill::test::write_file;
using velora::FileDownloader;
using velora::FileDownloaderTiming;

constexpr int kTimeout = 30;
const FileDownloaderTiming kQuickRetries{std::chrono::milliseconds(1),
                                         std::chrono::milliseconds(1)};

struct Report {
    int64_t total;
    int64_t cached;
    int64_t now;
};

// Collects progress reports; parts call it from several threads.
class ProgressLog {
public:
    velora::DownloadProgress callback() {
        return [this](int64_t total, int64_t cached, int64_t now) {
            std::lock_guard lock(lock_);
            reports_.push_back({total, cached, now});
        };
    }
    std::vector<Report> reports() {
        std::lock_guard lock(lock_);
        return reports_;
    }

private:
    std::mutex lock_;
    std::vector<Report> reports_;
};

std::string pattern_bytes(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + i / 251) & 0xff);
    return bytes;
}

// Reads a large file in one go (read_file goes byte by byte).
std::string read_large_file(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::string bytes(static_cast<size_t>(fs::file_size(file)), '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return bytes;
}

std::string etag_of(const std::string& url) {
    CurlWrapper client(kTimeout);
    HttpHeaderMap headers;
    EXPECT_EQ(client.prepare_response_headers(url, headers, 0), 0);
    return find_etag(headers);
}

// One request as the scripted server saw it.
struct Request {
    std::string method;
    std::string range;  // the Range header's value, empty when there is none
};

// A server whose answers a test writes, for failures that real servers do not produce on
// demand (a connection dropped before any answer, a transfer cut short, no Content-Length).
// Each connection carries one request; an empty reply closes it without answering.
class ScriptedServer {
public:
    using Script = std::function<std::string(const Request&)>;

    explicit ScriptedServer(Script script) : script_(std::move(script)) {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(address);
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
            ::listen(listener_, 16) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            ADD_FAILURE() << "cannot listen on 127.0.0.1";
            return;
        }
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~ScriptedServer() {
        ::shutdown(listener_, SHUT_RDWR);
        if (thread_.joinable()) thread_.join();
        ::close(listener_);
    }

    std::string url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }
    int connections() const { return connections_; }

private:
    void serve() {
        for (;;) {
            const int connection = ::accept(listener_, nullptr, nullptr);
            if (connection < 0) return;
            ++connections_;
            std::string head;
            char buffer[1024];
            while (head.find("\r\n\r\n") == std::string::npos) {
                const ssize_t got = ::recv(connection, buffer, sizeof(buffer), 0);
                if (got <= 0) break;
                head.append(buffer, static_cast<size_t>(got));
            }
            Request request;
            request.method = head.substr(0, head.find(' '));
            const size_t range = head.find("\r\nRange:");
            if (range != std::string::npos) {
                const size_t from = head.find_first_not_of(' ', range + 8);
                request.range = head.substr(from, head.find("\r\n", from) - from);
            }
            const std::string reply = script_(request);
            if (!reply.empty()) (void)::send(connection, reply.data(), reply.size(), MSG_NOSIGNAL);
            ::shutdown(connection, SHUT_RDWR);
            ::close(connection);
        }
    }

    Script script_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<int> connections_{0};
    std::thread thread_;
};

// Serves `content` with its length, an ETag and byte ranges (with or without blanks
// around the dash); `cut_after` >= 0 ends every body after that many bytes.
std::string serve_content(const Request& request, const std::string& content,
                          int64_t cut_after = -1) {
    const auto size = static_cast<long long>(content.size());
    long long first = 0;
    long long last = size - 1;
    std::string status = "200 OK";
    std::string extra;
    if (!request.range.empty()) {
        const int fields = std::sscanf(request.range.c_str(), "bytes=%lld - %lld", &first, &last);
        if (fields < 1) return "HTTP/1.1 400 Bad Request\r\nConnection: close\r\n\r\n";
        if (fields < 2 || last >= size) last = size - 1;
        if (first >= size) {
            return "HTTP/1.1 416 Range Not Satisfiable\r\nContent-Length: 0\r\n"
                   "Connection: close\r\n\r\n";
        }
        status = "206 Partial Content";
        extra = "Content-Range: bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" +
                std::to_string(size) + "\r\n";
    }
    const auto length = static_cast<size_t>(last - first + 1);
    std::string reply = "HTTP/1.1 " + status + "\r\nContent-Length: " + std::to_string(length) +
                        "\r\nETag: \"e1\"\r\n" + extra + "Connection: close\r\n\r\n";
    if (request.method == "HEAD") return reply;
    const size_t body = cut_after < 0 ? length : std::min(length, static_cast<size_t>(cut_after));
    return reply + content.substr(static_cast<size_t>(first), body);
}

NginxOptions serve(const fs::path& root) {
    NginxOptions options;
    options.root = root;
    return options;
}

class FileDownloaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        write_file(www_ / "ten.bin", "0123456789");
        write_file(www_ / "data.bin", content_);
        write_file(www_ / "empty.bin", "");
        ASSERT_TRUE(nginx_.running()) << nginx_.error();
    }

    TempDir www_;
    TempDir out_;
    const std::string content_ = pattern_bytes(300 * 1024 + 17);
    NginxServer nginx_{serve(www_.path())};
};

TEST_F(FileDownloaderTest, SameUrlEtagAndLengthGiveTheSamePathAndTheSecondCallEndsAtOnce) {
    const std::string url = nginx_.url("/data.bin");
    const std::string length = std::to_string(content_.size());
    for (int connections : {1, 4}) {
        SCOPED_TRACE(connections);
        TempDir dir;
        FileDownloader downloader(connections, kTimeout);
        fs::path first;
        fs::path second;
        int64_t size = 0;
        ASSERT_EQ(downloader.download(url.c_str(), dir.path(), first, size, nullptr), 0);
        EXPECT_EQ(size, static_cast<int64_t>(content_.size()));
        EXPECT_EQ(first, dir / md5_hex(url + "_" + etag_of(url) + "_" + length));
        EXPECT_EQ(read_file(first), content_);

        const size_t log_before = nginx_.access_log().size();
        ASSERT_EQ(downloader.download(url.c_str(), dir.path(), second, size, nullptr), 0);
        EXPECT_EQ(second, first);
        EXPECT_EQ(read_file(second), content_);
        // One connection asks for the bytes past the end (416); several use the file as it is.
        const std::string requests = nginx_.access_log().substr(log_before);
        EXPECT_EQ(requests.find("GET") != std::string::npos, connections == 1) << requests;
        if (connections == 1) {
            EXPECT_NE(requests.find("GET /data.bin bytes=" + length + "- 416"), std::string::npos)
                << requests;
        }
    }
}

TEST_F(FileDownloaderTest, SingleConnectionResumesAndReportsTheOffsetAsCached) {
    const std::string url = nginx_.url("/data.bin");
    const fs::path target = out_ / "data.part";
    const size_t offset = 100 * 1024;
    write_file(target, content_.substr(0, offset));

    FileDownloader downloader(1, kTimeout);
    ProgressLog progress;
    ASSERT_EQ(downloader.download(url.c_str(), target, 0, progress.callback()), 0);
    EXPECT_EQ(read_file(target), content_);

    const auto reports = progress.reports();
    ASSERT_FALSE(reports.empty());
    const Report& last = reports.back();
    EXPECT_EQ(last.total, static_cast<int64_t>(content_.size()));
    EXPECT_EQ(last.cached, static_cast<int64_t>(offset));
    EXPECT_EQ(last.cached + last.now, last.total);
    EXPECT_NE(nginx_.access_log().find("GET /data.bin bytes=" + std::to_string(offset)),
              std::string::npos)
        << nginx_.access_log();
}

TEST_F(FileDownloaderTest, SplitsTenBytesIntoNamedPartFilesAndAssemblesThem) {
    const std::string url = nginx_.url("/ten.bin");
    struct Case {
        int connections;
        std::vector<std::string> parts;
    };
    for (const Case& c : {Case{3, {"0123", "456", "789"}}, Case{4, {"012", "345", "67", "89"}}}) {
        SCOPED_TRACE(c.connections);
        const fs::path target = out_ / ("ten" + std::to_string(c.connections) + ".bin");
        FileDownloader downloader(c.connections, kTimeout);
        ProgressLog progress;
        ASSERT_EQ(downloader.download(url.c_str(), target, 0, progress.callback()), 0);
        EXPECT_EQ(read_file(target), "0123456789");
        for (size_t i = 0; i < c.parts.size(); ++i) {
            const std::string name = target.stem().string() + "_" + std::to_string(c.connections) +
                                     "_" + std::to_string(i);
            EXPECT_EQ(read_file(out_ / name), c.parts[i]) << name;
        }
        const auto reports = progress.reports();
        ASSERT_FALSE(reports.empty());
        EXPECT_EQ(reports.back().total, 10);
    }
}

TEST_F(FileDownloaderTest, SeveralConnectionsUseACompleteCacheFileAndReplaceOneOfAnotherSize) {
    const std::string url = nginx_.url("/data.bin");
    const fs::path target = out_ / "data.bin";
    FileDownloader downloader(4, kTimeout);

    // Same size: taken as it is, nothing is requested.
    const std::string same_size(content_.size(), 'x');
    write_file(target, same_size);
    ASSERT_EQ(downloader.download(url.c_str(), target, 0, nullptr), 0);
    EXPECT_EQ(read_file(target), same_size);
    EXPECT_FALSE(fs::exists(out_ / "data_4_0"));

    write_file(target, "too short");
    ASSERT_EQ(downloader.download(url.c_str(), target, 0, nullptr), 0);
    EXPECT_EQ(read_file(target), content_);
}

TEST_F(FileDownloaderTest, RefusesAnAssembledFileOfAnotherSizeThanExpected) {
    const std::string url = nginx_.url("/data.bin");
    const auto real = static_cast<int64_t>(content_.size());
    for (int64_t expected : {real + 5, real - 3}) {
        SCOPED_TRACE(expected);
        TempDir dir;
        const fs::path target = dir / "data.bin";
        FileDownloader downloader(4, kTimeout);
        EXPECT_EQ(downloader.download(url.c_str(), target, expected, nullptr),
                  velora::kFdSizeMismatch);
        EXPECT_FALSE(fs::exists(target));
        // The parts do not make up the file: a retry must not assemble them again.
        EXPECT_FALSE(fs::exists(dir / "data_4_3"));
    }
}

TEST_F(FileDownloaderTest, MissingOrZeroContentLengthDownloadsNothing) {
    FileDownloader downloader(1, kTimeout);
    fs::path out_path;
    int64_t size = -1;
    const std::string empty = nginx_.url("/empty.bin");
    EXPECT_EQ(downloader.download(empty.c_str(), out_.path(), out_path, size, nullptr),
              velora::kSetupBadServerData);
    EXPECT_EQ(size, 0);

    ScriptedServer no_length([](const Request&) {
        return std::string("HTTP/1.1 200 OK\r\nETag: \"e1\"\r\nConnection: close\r\n\r\n");
    });
    const std::string url = no_length.url("/file.bin");
    EXPECT_EQ(downloader.download(url.c_str(), out_.path(), out_path, size, nullptr),
              velora::kSetupBadServerData);
    EXPECT_EQ(downloader.download(url.c_str(), out_ / "file.bin", 0, nullptr),
              velora::kSetupBadServerData);
    EXPECT_EQ(no_length.connections(), 2);
    EXPECT_TRUE(fs::is_empty(out_.path()));
}

TEST_F(FileDownloaderTest, RetriesTheHeaderRequestRightAwayAndGivesUpAfterThree) {
    // The first connection is dropped before any answer; the retry gets the headers.
    std::atomic<int> requests{0};
    ScriptedServer flaky([&](const Request& request) {
        return ++requests == 1 ? std::string() : serve_content(request, "hello");
    });
    const std::string url = flaky.url("/hello.txt");
    FileDownloader downloader(1, kTimeout);
    fs::path out_path;
    int64_t size = 0;
    ASSERT_EQ(downloader.download(url.c_str(), out_.path(), out_path, size, nullptr), 0);
    EXPECT_EQ(size, 5);
    EXPECT_EQ(read_file(out_path), "hello");
    EXPECT_EQ(out_path, out_ / md5_hex(url + "_\"e1\"_5"));

    ScriptedServer dead([](const Request&) { return std::string(); });
    const std::string dead_url = dead.url("/hello.txt");
    EXPECT_EQ(downloader.download(dead_url.c_str(), out_.path(), out_path, size, nullptr),
              velora::kSetupDownloadFailedBase + CURLE_GOT_NOTHING);
    EXPECT_EQ(dead.connections(), 3);
}

TEST_F(FileDownloaderTest, RefusesNoUrlAndANegativeSize) {
    FileDownloader downloader(4, kTimeout);
    fs::path out_path;
    int64_t size = 0;
    EXPECT_EQ(downloader.download(nullptr, out_.path(), out_path, size, nullptr), velora::kFdNoUrl);
    EXPECT_EQ(downloader.download(nullptr, out_ / "x", 0, nullptr), velora::kFdNoUrl);
    const std::string url = nginx_.url("/ten.bin");
    EXPECT_EQ(downloader.download(url.c_str(), out_ / "x", -1, nullptr),
              velora::kSetupBadServerData);
    EXPECT_TRUE(fs::is_empty(out_.path()));
}

TEST_F(FileDownloaderTest, CancelEndsEveryPartAndTheNextCallResumesThePartFiles) {
    const std::string big = pattern_bytes(16u << 20);
    write_file(www_ / "big.bin", big);
    const std::string url = nginx_.url("/big.bin");
    const fs::path target = out_ / "big.bin";

    FileDownloader downloader(4, kTimeout);
    const int result =
        downloader.download(url.c_str(), target, 0, [&](int64_t, int64_t, int64_t now) {
            if (now > 0) downloader.cancel();
        });
    EXPECT_EQ(result, velora::kSetupDownloadCancelled);
    EXPECT_FALSE(fs::exists(target));
    int64_t on_disk = 0;
    for (int i = 0; i < 4; ++i) {
        std::error_code ec;
        const auto part_size = fs::file_size(out_ / ("big_4_" + std::to_string(i)), ec);
        if (!ec) on_disk += static_cast<int64_t>(part_size);
    }
    EXPECT_LT(on_disk, static_cast<int64_t>(big.size()));

    // The object stays canceled: a later download ends at once, on either path.
    EXPECT_EQ(downloader.download(url.c_str(), out_ / "again.bin", 0, nullptr),
              velora::kSetupDownloadCancelled);
    FileDownloader single(1, kTimeout);
    single.cancel();
    EXPECT_EQ(single.download(url.c_str(), out_ / "single.bin", 0, nullptr),
              velora::kSetupDownloadCancelled);

    FileDownloader next(4, kTimeout);
    ProgressLog progress;
    ASSERT_EQ(next.download(url.c_str(), target, 0, progress.callback()), 0);
    EXPECT_TRUE(read_large_file(target) == big);
    const auto reports = progress.reports();
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.front().cached, on_disk);
    EXPECT_EQ(reports.back().cached + reports.back().now, static_cast<int64_t>(big.size()));
}

TEST_F(FileDownloaderTest, APartCutShortRetriesAndTheNextCallResumesItsFile) {
    const std::string content = pattern_bytes(40);
    std::atomic<bool> cutting{true};
    std::mutex ranges_lock;
    std::vector<std::string> ranges;
    ScriptedServer server([&](const Request& request) {
        if (request.method == "GET") {
            std::lock_guard lock(ranges_lock);
            ranges.push_back(request.range);
        }
        return serve_content(request, content, cutting ? 5 : -1);
    });
    const std::string url = server.url("/cut.bin");
    const fs::path target = out_ / "cut.bin";

    // Every attempt gets five more bytes of its part before the connection drops.
    FileDownloader downloader(2, kTimeout, kQuickRetries);
    EXPECT_EQ(downloader.download(url.c_str(), target, 0, nullptr),
              velora::kSetupDownloadFailedBase + CURLE_PARTIAL_FILE);
    EXPECT_FALSE(fs::exists(target));
    EXPECT_EQ(read_file(out_ / "cut_2_0"), content.substr(0, 15));
    EXPECT_EQ(read_file(out_ / "cut_2_1"), content.substr(20, 15));

    cutting = false;
    {
        std::lock_guard lock(ranges_lock);
        ranges.clear();
    }
    FileDownloader next(2, kTimeout);
    ProgressLog progress;
    ASSERT_EQ(next.download(url.c_str(), target, 0, progress.callback()), 0);
    EXPECT_EQ(read_file(target), content);
    const auto reports = progress.reports();
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.front().cached, 30);
    std::lock_guard lock(ranges_lock);
    std::sort(ranges.begin(), ranges.end());
    EXPECT_EQ(ranges, (std::vector<std::string>{"bytes=15-19", "bytes=35-"}));
}

TEST_F(FileDownloaderTest, APartFileThatNeverCameIsAnOpenErrorAndLeavesNoTarget) {
    // The resource shrank after its headers were read: the open-ended last part is answered
    // 416, which the client takes as a complete slice although nothing was written.
    ScriptedServer server([](const Request& request) {
        return serve_content(request, request.range.empty() ? "0123456789" : "01234");
    });
    const std::string url = server.url("/ten.bin");
    const fs::path target = out_ / "ten.bin";
    FileDownloader downloader(2, kTimeout);
    EXPECT_EQ(downloader.download(url.c_str(), target, 0, nullptr), velora::kDownloadOpenError);
    EXPECT_EQ(read_file(out_ / "ten_2_0"), "01234");
    EXPECT_FALSE(fs::exists(out_ / "ten_2_1"));
    EXPECT_FALSE(fs::exists(target));
}

TEST_F(FileDownloaderTest, APartFailingThreeTimesFailsTheDownloadAndKeepsTheOtherParts) {
    NginxOptions options = serve(www_.path());
    // The third of four parts of ten bytes asks for "bytes=6-7".
    options.extra_locations =
        "location = /ten.bin { if ($http_range ~ \"^bytes=6\") { return 503; } }";
    NginxServer nginx(options);
    ASSERT_TRUE(nginx.running()) << nginx.error();
    const std::string url = nginx.url("/ten.bin");
    const fs::path target = out_ / "ten.bin";

    FileDownloader downloader(4, kTimeout, kQuickRetries);
    EXPECT_EQ(downloader.download(url.c_str(), target, 0, nullptr),
              velora::kSetupDownloadFailedBase + velora::kDownloadRangeRejected);
    EXPECT_FALSE(fs::exists(target));
    EXPECT_EQ(read_file(out_ / "ten_4_0"), "012");
    EXPECT_EQ(read_file(out_ / "ten_4_3"), "89");
    const std::string log = nginx.access_log();
    size_t failures = 0;
    for (size_t at = log.find("bytes=6-7 503"); at != std::string::npos;
         at = log.find("bytes=6-7 503", at + 1)) {
        ++failures;
    }
    EXPECT_EQ(failures, 3u) << log;
}

// The distribution server's faults on the one-connection path, which the setup engine uses.
TEST(FileDownloaderDistTest, OneConnectionKeepsACutOrRefusedFileAndResumesIt) {
    TempDir dir;
    const std::string content = pattern_bytes(200 * 1024);
    write_file(dir / "package.exe", content);
    DistServerOptions options;
    options.full_package = dir / "package.exe";
    DistServer server(options);
    const std::string path = DistServer::kFullPackagePath;
    const std::string url = server.url() + path;
    const fs::path target = dir / "out" / "package.exe";
    const auto size = static_cast<int64_t>(content.size());
    FileDownloader downloader(1, kTimeout);

    server.cut_after(path, 50000, 1);
    EXPECT_EQ(downloader.download(url.c_str(), target, size, nullptr),
              velora::kSetupDownloadFailedBase + CURLE_PARTIAL_FILE);
    EXPECT_EQ(read_file(target), content.substr(0, 50000));

    server.fail_next(path, 429);
    EXPECT_EQ(downloader.download(url.c_str(), target, size, nullptr),
              velora::kSetupDownloadFailedBase + velora::kDownloadTooManyRequests);
    EXPECT_EQ(read_file(target), content.substr(0, 50000));

    ProgressLog progress;
    ASSERT_EQ(downloader.download(url.c_str(), target, size, progress.callback()), 0);
    EXPECT_EQ(read_file(target), content);
    EXPECT_EQ(server.requests().back().range, "bytes=50000-");
    EXPECT_EQ(progress.reports().back().cached, 50000);
}

// Servers that answer a slice with something else: another range, or the whole file. No
// byte of such an answer reaches a part file, and no file is assembled from them.
TEST_F(FileDownloaderTest, SeveralConnectionsAssembleOnlyTheRangesAskedFor) {
    const std::string content = "0123456789";
    const auto whole_to_every_get = [&](const Request& request) {
        Request asked = request;
        if (asked.method == "GET") asked.range.clear();
        return serve_content(asked, content);
    };
    // The range asked for, its Content-Range honest, with more bytes than it holds.
    const auto longer_slices = [&](const Request& request) {
        std::string reply = serve_content(request, content);
        if (request.method != "GET" || request.range.empty()) return reply;
        const std::string name = "Content-Length: ";
        const size_t at = reply.find(name) + name.size();
        const size_t end = reply.find("\r\n", at);
        const long long length = std::stoll(reply.substr(at, end - at));
        reply.replace(at, end - at, std::to_string(length + 3));
        return reply + "xyz";
    };
    for (const ScriptedServer::Script& script :
         {ScriptedServer::Script(whole_to_every_get), ScriptedServer::Script(longer_slices)}) {
        ScriptedServer server(script);
        TempDir out;
        const fs::path target = out / "ten";
        FileDownloader downloader(3, kTimeout, kQuickRetries);
        EXPECT_EQ(downloader.download(server.url("/ten.bin").c_str(), target, 10, nullptr),
                  velora::kSetupDownloadFailedBase + CURLE_RANGE_ERROR);
        EXPECT_FALSE(fs::exists(target));
        for (const char* part : {"ten_3_0", "ten_3_1", "ten_3_2"})
            EXPECT_EQ(read_file(out / part), "");
    }
}

// The distribution server's lying answers on the one-connection path, which the setup engine
// takes for the package archive and the full installer, and on the several-connection path.
class FileDownloaderFaults : public ::testing::Test {
protected:
    void SetUp() override {
        write_file(dir_ / "package.exe", content_);
        DistServerOptions options;
        options.full_package = dir_ / "package.exe";
        server_ = std::make_unique<DistServer>(options);
    }

    void add(FaultRule rule) {
        rule.path = path_;
        server_->add_fault(rule);
    }
    std::string url() const { return server_->url() + path_; }
    int download(FileDownloader& downloader) {
        return downloader.download(url().c_str(), target_, size(), nullptr);
    }
    int64_t size() const { return static_cast<int64_t>(content_.size()); }
    // The GETs of the package as the server answered them: (range, status).
    std::vector<std::pair<std::string, int>> gets() const {
        std::vector<std::pair<std::string, int>> out;
        for (const auto& r : server_->requests())
            if (r.method == "GET" && r.path == path_) out.emplace_back(r.range, r.status);
        return out;
    }

    TempDir dir_;
    const std::string content_ = pattern_bytes(200 * 1024);
    const std::string path_ = DistServer::kFullPackagePath;
    const fs::path target_ = dir_ / "out" / "package.exe";
    std::unique_ptr<DistServer> server_;
};

TEST_F(FileDownloaderFaults, AnswerWithoutLengthCutShortIsResumedAndAnOverlongFileRefetched) {
    FileDownloader downloader(1, kTimeout);
    add({.times = 1, .cut_after = 100000, .no_length = true});
    EXPECT_EQ(download(downloader), velora::kFdSizeMismatch);
    EXPECT_TRUE(read_file(target_) == content_.substr(0, 100000));
    ASSERT_EQ(download(downloader), 0);
    EXPECT_TRUE(read_large_file(target_) == content_);
    EXPECT_EQ(gets().back(), std::make_pair(std::string("bytes=100000-"), 206));

    // A partial file longer than the resource is answered 416: it is not this file.
    write_file(target_, content_ + "tail");
    server_->clear_requests();
    ASSERT_EQ(download(downloader), 0);
    EXPECT_TRUE(read_large_file(target_) == content_);
    const auto requests = gets();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].second, 416);
    EXPECT_EQ(requests[1], std::make_pair(std::string(), 200));

    // A file the server calls complete but shorter than announced is removed.
    write_file(target_, content_.substr(0, 1000));
    EXPECT_EQ(downloader.download(url().c_str(), target_, 1000 + size(), nullptr),
              velora::kFdSizeMismatch);
    EXPECT_TRUE(read_large_file(target_) == content_);
    EXPECT_EQ(downloader.download(url().c_str(), target_, 1000 + size(), nullptr),
              velora::kFdSizeMismatch);
    EXPECT_FALSE(fs::exists(target_));
}

TEST_F(FileDownloaderFaults, ResumeThatTheServerDoesNotHonourStartsFromTheFirstByte) {
    FileDownloader downloader(1, kTimeout);
    for (const FaultRule& fault : {FaultRule{.times = 1, .ignore_range = true},
                                   FaultRule{.times = 1, .wrong_range = true}}) {
        server_->clear_requests();
        write_file(target_, content_.substr(0, 1000));
        add(fault);
        ASSERT_EQ(download(downloader), 0);
        EXPECT_TRUE(read_large_file(target_) == content_);
        const auto requests = gets();
        ASSERT_EQ(requests.size(), 2u);
        EXPECT_EQ(requests[0].first, "bytes=1000-");
        EXPECT_EQ(requests[1], std::make_pair(std::string(), 200));
    }
    // Several connections: a slice answered with another range is never assembled.
    fs::remove(target_);
    FileDownloader parts(3, kTimeout, kQuickRetries);
    add({.wrong_range = true});
    EXPECT_EQ(parts.download(url().c_str(), target_, size(), nullptr),
              velora::kSetupDownloadFailedBase + CURLE_RANGE_ERROR);
    EXPECT_FALSE(fs::exists(target_));
    server_->clear_faults();
    ASSERT_EQ(parts.download(url().c_str(), target_, size(), nullptr), 0);
    EXPECT_TRUE(read_large_file(target_) == content_);
}

TEST_F(FileDownloaderFaults, SizeComesOnlyFromASuccessfulAnswer) {
    FileDownloader downloader(1, kTimeout);
    server_->fail_next(path_, 503, 3);
    fs::path out_path;
    int64_t size_out = -1;
    EXPECT_EQ(downloader.download(url().c_str(), dir_ / "cache", out_path, size_out, nullptr),
              velora::kSetupDownloadFailedBase + velora::kDownloadHttpError);
    EXPECT_EQ(size_out, 0);
    EXPECT_FALSE(fs::exists(dir_ / "cache"));

    server_->fail_next(path_, 503, 1);
    EXPECT_EQ(downloader.download(url().c_str(), target_, 0, nullptr),
              velora::kSetupDownloadFailedBase + velora::kDownloadHttpError);
    EXPECT_FALSE(fs::exists(target_));
    EXPECT_TRUE(gets().empty());
}

TEST_F(FileDownloaderFaults, StalledTransferEndsTheAttemptAtTheStallLimit) {
    const FileDownloaderTiming timing{std::chrono::milliseconds(1), std::chrono::milliseconds(1),
                                      velora::StallLimit{1000, 1}};
    for (int connections : {1, 3}) {
        SCOPED_TRACE(connections);
        fs::remove_all(target_.parent_path());
        FileDownloader downloader(connections, kTimeout, timing);
        add({.stall_after = 1000, .stall_ms = 60000});
        EXPECT_EQ(download(downloader),
                  velora::kSetupDownloadFailedBase + CURLE_OPERATION_TIMEDOUT);
        if (connections == 1) {
            EXPECT_TRUE(read_file(target_) == content_.substr(0, 1000));
        }
        server_->clear_faults();
        ASSERT_EQ(download(downloader), 0);
        EXPECT_TRUE(read_large_file(target_) == content_);
    }
}

}  // namespace
