#include "faults.h"

#include <algorithm>
#include <condition_variable>
#include <stdexcept>

namespace castmill::tools {

namespace {

template <typename T>
T member(const nlohmann::json& j, const char* key, T fallback) {
    auto it = j.find(key);
    if (it == j.end()) return fallback;
    try {
        return it->get<T>();
    } catch (const nlohmann::json::exception&) {
        throw std::invalid_argument(std::string("fault member \"") + key + "\" has the wrong type");
    }
}

constexpr int kDefaultStallMs = 60000;

std::mutex pause_lock;
std::condition_variable pause_end;
bool stopping = false;

}  // namespace

void pause_unless_stopping(std::chrono::milliseconds wait) {
    std::unique_lock<std::mutex> lock(pause_lock);
    pause_end.wait_for(lock, wait, [] { return stopping; });
}

void stop_pauses() {
    {
        std::lock_guard<std::mutex> guard(pause_lock);
        stopping = true;
    }
    pause_end.notify_all();
}

FaultRule parse_fault(const nlohmann::json& j) {
    if (!j.is_object()) throw std::invalid_argument("a fault must be a JSON object");
    static const char* const known[] = {
        "path",           "times",           "status",       "body",        "cut_after",
        "delay_ms",       "chunk_delay_ms",  "ignore_range", "wrong_bytes", "no_etag",
        "wrong_range",    "no_length",       "stall_after",  "stall_ms",    "endless",
        "zip_bomb_bytes", "zip_bomb_entries"};
    for (const auto& [key, value] : j.items()) {
        if (std::find_if(std::begin(known), std::end(known),
                         [&](const char* k) { return key == k; }) == std::end(known)) {
            throw std::invalid_argument("unknown fault member \"" + key + "\"");
        }
    }
    FaultRule rule;
    rule.path = member<std::string>(j, "path", "");
    if (rule.path.empty() || rule.path[0] != '/') {
        throw std::invalid_argument("a fault needs a \"path\" starting with /");
    }
    rule.times = member<int>(j, "times", -1);
    rule.status = member<int>(j, "status", 0);
    if (j.contains("body")) rule.body = member<std::string>(j, "body", "");
    rule.cut_after = member<int64_t>(j, "cut_after", -1);
    rule.delay_ms = member<int>(j, "delay_ms", 0);
    rule.chunk_delay_ms = member<int>(j, "chunk_delay_ms", 0);
    rule.ignore_range = member<bool>(j, "ignore_range", false);
    rule.wrong_bytes = member<bool>(j, "wrong_bytes", false);
    rule.no_etag = member<bool>(j, "no_etag", false);
    rule.wrong_range = member<bool>(j, "wrong_range", false);
    rule.no_length = member<bool>(j, "no_length", false);
    rule.stall_after = member<int64_t>(j, "stall_after", -1);
    rule.stall_ms = member<int>(j, "stall_ms", rule.stall_after >= 0 ? kDefaultStallMs : 0);
    rule.endless = member<bool>(j, "endless", false);
    rule.zip_bomb_bytes = member<int64_t>(j, "zip_bomb_bytes", -1);
    rule.zip_bomb_entries = member<std::vector<std::string>>(j, "zip_bomb_entries", {});
    if (rule.zip_bomb_bytes >= 0 && rule.zip_bomb_entries.empty())
        rule.zip_bomb_entries = {"bomb0.bin", "bomb1.bin", "bomb2.bin"};
    if (rule.status != 0 && (rule.status < 100 || rule.status > 599)) {
        throw std::invalid_argument("fault status out of range");
    }
    if (rule.delay_ms < 0 || rule.chunk_delay_ms < 0 || rule.stall_ms < 0)
        throw std::invalid_argument("fault delay_ms, chunk_delay_ms or stall_ms is negative");
    return rule;
}

nlohmann::json to_json(const FaultRule& rule) {
    nlohmann::json j{{"path", rule.path},
                     {"times", rule.times},
                     {"status", rule.status},
                     {"cut_after", rule.cut_after},
                     {"delay_ms", rule.delay_ms},
                     {"chunk_delay_ms", rule.chunk_delay_ms},
                     {"ignore_range", rule.ignore_range},
                     {"wrong_bytes", rule.wrong_bytes},
                     {"no_etag", rule.no_etag},
                     {"wrong_range", rule.wrong_range},
                     {"no_length", rule.no_length},
                     {"stall_after", rule.stall_after},
                     {"stall_ms", rule.stall_ms},
                     {"endless", rule.endless},
                     {"zip_bomb_bytes", rule.zip_bomb_bytes},
                     {"zip_bomb_entries", rule.zip_bomb_entries}};
    if (rule.body) j["body"] = *rule.body;
    return j;
}

void FaultTable::add(FaultRule rule) {
    std::lock_guard<std::mutex> guard(lock_);
    rules_.push_back(std::move(rule));
}

void FaultTable::clear() {
    std::lock_guard<std::mutex> guard(lock_);
    rules_.clear();
}

ActiveFaults FaultTable::take(const std::string& path) {
    std::lock_guard<std::mutex> guard(lock_);
    ActiveFaults active;
    for (auto& rule : rules_) {
        if (rule.path != path || rule.times == 0) continue;
        if (rule.times > 0) --rule.times;
        if (rule.status != 0) active.status = rule.status;
        if (rule.body) active.body = rule.body;
        if (rule.cut_after >= 0) active.cut_after = rule.cut_after;
        active.delay_ms = std::max(active.delay_ms, rule.delay_ms);
        active.chunk_delay_ms = std::max(active.chunk_delay_ms, rule.chunk_delay_ms);
        active.ignore_range |= rule.ignore_range;
        active.wrong_bytes |= rule.wrong_bytes;
        active.no_etag |= rule.no_etag;
        active.wrong_range |= rule.wrong_range;
        active.no_length |= rule.no_length;
        if (rule.stall_after >= 0) {
            active.stall_after = rule.stall_after;
            active.stall_ms = rule.stall_ms;
        }
        active.endless |= rule.endless;
        if (rule.zip_bomb_bytes >= 0) {
            active.zip_bomb_bytes = rule.zip_bomb_bytes;
            active.zip_bomb_entries = rule.zip_bomb_entries;
        }
    }
    // Spent rules are dropped so that the table does not grow over a long run.
    std::erase_if(rules_, [](const FaultRule& r) { return r.times == 0; });
    return active;
}

nlohmann::json FaultTable::snapshot() const {
    std::lock_guard<std::mutex> guard(lock_);
    nlohmann::json list = nlohmann::json::array();
    for (const auto& rule : rules_) list.push_back(to_json(rule));
    return list;
}

}  // namespace castmill::tools
