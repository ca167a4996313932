#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "net/thread_pool.h"
#include "setup/event_sink.h"

// One report to the log-collection service, and the reporter's template for all reports.
// In the template, `mutex` guards email and accountId, and also version and ltoken, which
// set-up and the worker write while callers copy them.
struct PostParam {
    int32_t kind = 1;  // 1: text report (`text` part); 0: file upload (`file` part)
    std::string file;  // UTF-8 path, for kind 0
    std::string text;
    std::string logNo;  // event code, e.g. "I9104"
    std::string type;
    std::string platform;
    std::string version;
    std::string language;
    std::string pcid;
    std::string ltoken;                // access token; empty until obtained
    bool delete_after_upload = false;  // file is an archive made for this upload
    std::string email;
    std::string accountId;
    std::mutex mutex;
};

// Sends event reports and log archives to the log-collection service from one background
// worker, in the order they were queued. Reports are dropped until credentials are set.
class BlogReporter {
public:
    // Starts the worker. The services are those named by the service hosts at this moment.
    BlogReporter();
    // Reports still queued when the reporter goes away without stop() are dropped; the
    // one being posted finishes.
    virtual ~BlogReporter();
    BlogReporter(const BlogReporter&) = delete;
    BlogReporter& operator=(const BlogReporter&) = delete;

    // Sets the version (and email when non-empty) of every later report and the
    // application credentials; enables reporting. Always true.
    virtual bool init(const std::string& version, const std::string& email,
                      const std::string& app_id, const std::string& app_secret);
    // As init, with credentials read from log.key in the suite's VeloraOBS/log-upload
    // folder (read once per process and cached). False with error set when they cannot
    // be read.
    virtual bool init_from_key_file(const std::string& version, const std::string& email,
                                    std::string& error);
    // Stops taking reports, posts everything already queued and joins the worker.
    virtual void stop();

    // Queues a text report and returns at once.
    void report(const std::string& type, const std::string& log_no, const std::string& text);
    // Queues the upload of a file or folder: a ".zip" file goes as it is, anything else is
    // packed into a temporary archive first, which is deleted after the upload.
    void report_file(const std::string& type, const std::string& log_no,
                     const std::filesystem::path& file);

    bool enabled() const { return enabled_.load(); }

private:
    void enqueue(std::shared_ptr<PostParam> param);
    std::shared_ptr<PostParam> copy_defaults();

    int post_task(const std::shared_ptr<PostParam>& param);
    bool prepare_post(PostParam& param);
    int zip_for_upload(const std::filesystem::path& input, std::filesystem::path& archive);
    std::string get_post_token();
    bool next_address(std::string& address);
    std::string make_signature(const std::string& address, const std::string& version);
    int request_post_token(const std::string& body, std::string& token);
    int post_log(PostParam& param);

    std::shared_ptr<PostParam> defaults_;
    std::mutex credentials_lock_;  // app_id_, app_secret_
    std::string app_id_;
    std::string app_secret_;
    // Address echo services, tried in order; only the worker touches the pass state.
    std::vector<std::string> ip_sources_;
    int ip_cursor_ = -1;
    std::set<std::string> seen_ips_;
    std::string token_url_;
    std::string log_url_;
    std::atomic<bool> enabled_{false};
    std::atomic<bool> dropping_{false};  // set by the destructor: queued posts are skipped
    ThreadPool pool_{1};                 // last: joined before the fields its jobs use go
};

// The process-wide reporter, created on first use.
BlogReporter& blog_reporter();

// Finds log.key ("data" beside the executable, else VeloraOBS/log-upload in the suite),
// reads the credentials of `version` (or of "1.0.0" when it has none) and sets the reporter
// up. False when no credentials could be read; the reporter then keeps its earlier state.
bool init_report(const std::string& version);
bool init_report(BlogReporter& reporter, const std::string& version,
                 const std::filesystem::path& executable_dir);

// Logs an event and queues it as a "setup" report on the process-wide reporter.
void report(const std::string& log_no, const std::string& msg);

// The engine's events as "setup" reports on the process-wide reporter; start() sets the
// reporter up as init_report does.
velora::st::EventSink& setup_reports();
