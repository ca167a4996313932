#pragma once

#include <chrono>
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
    bool wrong_range = false;         // a range answered with as many bytes from byte 0
    bool no_length = false;           // no Content-Length; the connection closes after the body
    int64_t stall_after = -1;         // after this many body bytes (0: right after the
                                      // headers) send nothing for stall_ms; any answer
    int stall_ms = 0;                 // then close the connection (default 60 s)
    bool endless = false;             // after the content, zero bytes until the client leaves
    int64_t zip_bomb_bytes = -1;      // answer a zip of zip_bomb_entries, each this many zeros
    std::vector<std::string> zip_bomb_entries;  // default: bomb0.bin, bomb1.bin, bomb2.bin
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
    bool wrong_range = false;
    bool no_length = false;
    int64_t stall_after = -1;
    int stall_ms = 0;
    bool endless = false;
    int64_t zip_bomb_bytes = -1;
    std::vector<std::string> zip_bomb_entries;
};

// Waits for `wait`, or less when the server is stopping: an injected delay or stall must not
// hold the server's exit.
void pause_unless_stopping(std::chrono::milliseconds wait);
// Ends every running and later pause_unless_stopping.
void stop_pauses();

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
