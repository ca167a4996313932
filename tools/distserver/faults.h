#pragma once

#include <cstdint>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace castmill::tools {

// One injected fault for an exact URL path. Fields combine; "times" counts the requests the
// rule still applies to (-1: every request).
struct FaultRule {
    std::string path;
    int times = -1;
    int status = 0;                   // answer with this status instead of the content
    std::optional<std::string> body;  // answer with this body (status 200 unless set)
    int64_t cut_after = -1;           // close the connection after this many body bytes
    int delay_ms = 0;                 // wait before answering
    int chunk_delay_ms = 0;           // wait before each 64 KiB of the body (a slow link)
    bool ignore_range = false;        // answer 200 with the whole content
    bool wrong_bytes = false;         // every content byte inverted, same length
    bool no_etag = false;             // no ETag header
};

// Parses {"path": ..., ...}; throws std::invalid_argument with the reason.
FaultRule parse_fault(const nlohmann::json& j);
nlohmann::json to_json(const FaultRule& rule);

// What applies to one request: the union of the matching rules, each consumed once.
struct ActiveFaults {
    int status = 0;
    std::optional<std::string> body;
    int64_t cut_after = -1;
    int delay_ms = 0;
    int chunk_delay_ms = 0;
    bool ignore_range = false;
    bool wrong_bytes = false;
    bool no_etag = false;
};

class FaultTable {
public:
    void add(FaultRule rule);
    void clear();
    ActiveFaults take(const std::string& path);
    nlohmann::json snapshot() const;

private:
    mutable std::mutex lock_;
    std::vector<FaultRule> rules_;
};

}  // namespace castmill::tools
