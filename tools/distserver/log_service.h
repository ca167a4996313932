#pragma once

#include <httplib.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <string>

namespace castmill::tools {

// The address echo, the token service and the log endpoint of the log-collection service.
class LogService {
public:
    struct Credentials {
        std::string app_id;
        std::string app_secret;
    };

    // Credentials for every version.
    void set_credentials(Credentials any_version);
    // The key file's plain JSON: {"data": {"castmill-pc:<version>": {"appId", "appSecrect"}}}.
    // Throws std::runtime_error with the reason.
    void load_credentials(const std::filesystem::path& json_file);
    // Each accepted report is appended to this file as one JSON line.
    void open_reports(const std::filesystem::path& file);
    // The address the echo answers (and signatures are checked against) instead of the
    // caller's own.
    void set_echo_address(std::string address) { echo_address_ = std::move(address); }

    void echo(const httplib::Request& req, httplib::Response& res) const;
    void token(const httplib::Request& req, httplib::Response& res);
    void log(const httplib::Request& req, httplib::Response& res);

private:
    const Credentials* credentials_for(const std::string& version) const;
    std::string address_of(const httplib::Request& req) const;

    Credentials any_version_;
    std::map<std::string, Credentials> by_version_;
    std::string echo_address_;
    std::mutex lock_;  // tokens_ and reports_
    std::set<std::string> tokens_;
    std::ofstream reports_;
};

}  // namespace castmill::tools
