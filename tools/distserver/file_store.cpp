#include "file_store.h"

#include <zip.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "base/crypto.h"

namespace castmill::tools {

namespace fs = std::filesystem;

namespace {

bool parse_u64(std::string_view text, uint64_t& value) {
    if (text.empty()) return false;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size();
}

constexpr size_t kChunk = 64 * 1024;

}  // namespace

RangeMatch match_range(const std::string& header, uint64_t size, ByteRange& range) {
    const std::string_view prefix = "bytes=";
    if (header.rfind(prefix, 0) != 0) return RangeMatch::kWhole;
    const std::string_view range_text = std::string_view(header).substr(prefix.size());
    if (range_text.find(',') != std::string_view::npos) return RangeMatch::kWhole;
    const auto dash = range_text.find('-');
    if (dash == std::string_view::npos) return RangeMatch::kWhole;
    const auto first_text = range_text.substr(0, dash);
    const auto last_text = range_text.substr(dash + 1);
    if (first_text.empty()) {
        uint64_t suffix = 0;
        if (!parse_u64(last_text, suffix)) return RangeMatch::kWhole;
        if (suffix == 0 || size == 0) return RangeMatch::kUnsatisfiable;
        range.first = size - std::min(suffix, size);
        range.last = size - 1;
        return RangeMatch::kPart;
    }
    uint64_t first = 0;
    if (!parse_u64(first_text, first)) return RangeMatch::kWhole;
    uint64_t last = UINT64_MAX;
    if (!last_text.empty()) {
        if (!parse_u64(last_text, last) || last < first) return RangeMatch::kWhole;
    }
    if (first >= size) return RangeMatch::kUnsatisfiable;
    range.first = first;
    range.last = std::min(last, size - 1);
    return RangeMatch::kPart;
}

std::string file_etag(const fs::path& file) {
    struct Entry {
        uint64_t size;
        fs::file_time_type mtime;
        std::string etag;
    };
    static std::mutex lock;
    static std::map<fs::path, Entry> cache;
    const uint64_t size = fs::file_size(file);
    const auto mtime = fs::last_write_time(file);
    {
        std::lock_guard<std::mutex> guard(lock);
        auto it = cache.find(file);
        if (it != cache.end() && it->second.size == size && it->second.mtime == mtime) {
            return it->second.etag;
        }
    }
    const std::string etag = "\"" + md5_file_hex(file) + "\"";
    std::lock_guard<std::mutex> guard(lock);
    cache[file] = Entry{size, mtime, etag};
    return etag;
}

void serve_file(const httplib::Request& req, httplib::Response& res, const fs::path& file,
                const ActiveFaults& faults) {
    const uint64_t size = fs::file_size(file);
    const std::string etag = file_etag(file);
    if (!faults.no_etag) res.set_header("ETag", etag);
    res.set_header("Accept-Ranges", "bytes");

    ByteRange range{0, size == 0 ? 0 : size - 1};
    RangeMatch match = RangeMatch::kWhole;
    if (req.has_header("Range") && !faults.ignore_range) {
        match = match_range(req.get_header_value("Range"), size, range);
        // A stale validator asks for the whole new content.
        if (req.has_header("If-Range") && req.get_header_value("If-Range") != etag) {
            match = RangeMatch::kWhole;
        }
    }
    if (match == RangeMatch::kUnsatisfiable) {
        res.status = 416;
        res.set_header("Content-Range", "bytes */" + std::to_string(size));
        res.set_content("", "text/plain");
        return;
    }
    uint64_t offset = 0;
    uint64_t length = size;
    if (match == RangeMatch::kPart) {
        offset = range.first;
        length = range.last - range.first + 1;
        // The wrong slice under an honest Content-Range: as many bytes, from the start.
        if (faults.wrong_range) offset = 0;
        res.status = 206;
        res.set_header("Content-Range", "bytes " + std::to_string(offset) + "-" +
                                            std::to_string(offset + length - 1) + "/" +
                                            std::to_string(size));
    } else {
        res.status = 200;
    }
    if (length == 0) {
        res.set_content("", "application/octet-stream");
        return;
    }

    const char* type =
        file.extension() == ".json" ? "application/json" : "application/octet-stream";
    auto in = std::make_shared<std::ifstream>(file, std::ios::binary);
    const int64_t cut = faults.cut_after;
    const int64_t stall = faults.stall_after;
    const auto stall_wait = std::chrono::milliseconds(faults.stall_ms);
    const bool wrong = faults.wrong_bytes;
    const auto chunk_delay = std::chrono::milliseconds(faults.chunk_delay_ms);
    // One block of the body at `at`; false ends the answer by closing the connection.
    auto produce = [in, offset, length, cut, stall, stall_wait, wrong, chunk_delay](
                       size_t at, httplib::DataSink& sink) {
        if (cut >= 0 && static_cast<int64_t>(at) >= cut) return false;
        if (stall >= 0 && static_cast<int64_t>(at) >= stall) {
            pause_unless_stopping(stall_wait);
            return false;
        }
        if (chunk_delay.count() > 0) pause_unless_stopping(chunk_delay);
        size_t n = std::min(static_cast<size_t>(length) - at, kChunk);
        if (cut >= 0) n = std::min<size_t>(n, static_cast<size_t>(cut) - at);
        if (stall >= 0) n = std::min<size_t>(n, static_cast<size_t>(stall) - at);
        std::vector<char> buf(n);
        in->seekg(static_cast<std::streamoff>(offset + at));
        in->read(buf.data(), static_cast<std::streamsize>(n));
        if (in->gcount() != static_cast<std::streamsize>(n)) return false;
        if (wrong) {
            for (auto& c : buf) c = static_cast<char>(~c);
        }
        return sink.write(buf.data(), n);
    };
    if (faults.endless) {
        // A body that never ends: the content, then zeros for as long as the client reads.
        res.set_header("Connection", "close");
        res.set_content_provider(type, [produce, length](size_t at, httplib::DataSink& sink) {
            if (at < length) return produce(at, sink);
            static const std::vector<char> zeros(kChunk, '\0');
            return sink.write(zeros.data(), zeros.size());
        });
        return;
    }
    if (faults.no_length) {
        // Without a length the end of the body is the end of the connection.
        res.set_header("Connection", "close");
        res.set_content_provider(type, [produce, length](size_t at, httplib::DataSink& sink) {
            // Ending the answer closes the connection, whatever httplib would keep alive.
            if (at >= length) return false;
            return produce(at, sink);
        });
        return;
    }
    res.set_content_provider(
        static_cast<size_t>(length), type,
        [produce](size_t at, size_t, httplib::DataSink& sink) { return produce(at, sink); });
}

void write_zip_bomb(const fs::path& file, const std::vector<std::string>& entries, int64_t bytes) {
    zipFile zip = zipOpen64(file.string().c_str(), APPEND_STATUS_CREATE);
    if (!zip) throw std::runtime_error("cannot create " + file.string());
    const std::vector<char> zeros(1 << 20, '\0');
    bool ok = true;
    for (const auto& name : entries) {
        zip_fileinfo info{};
        ok = ok && zipOpenNewFileInZip64(zip, name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr,
                                         Z_DEFLATED, Z_BEST_SPEED, 1) == ZIP_OK;
        for (int64_t left = bytes; ok && left > 0;) {
            const auto n = static_cast<unsigned>(std::min<int64_t>(left, zeros.size()));
            ok = zipWriteInFileInZip(zip, zeros.data(), n) == ZIP_OK;
            left -= n;
        }
        ok = ok && zipCloseFileInZip(zip) == ZIP_OK;
    }
    if (zipClose(zip, nullptr) != ZIP_OK || !ok)
        throw std::runtime_error("cannot write " + file.string());
}

}  // namespace castmill::tools
