#pragma once

#include <httplib.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "faults.h"

namespace castmill::tools {

struct ByteRange {
    uint64_t first = 0;
    uint64_t last = 0;  // inclusive
};

enum class RangeMatch { kWhole, kPart, kUnsatisfiable };

// A single "bytes=" range against a content of the given size. Anything else (several ranges,
// another unit, bad syntax) asks for the whole content, as a server may answer.
RangeMatch match_range(const std::string& header, uint64_t size, ByteRange& range);

// Quoted MD5 of the content, cached by path, size and modification time.
std::string file_etag(const std::filesystem::path& file);

// Answers a GET or HEAD with the file: ETag, byte ranges (206, 416 with "bytes */size"),
// If-Range, and the faults that change content (cut, stall, wrong bytes, ignored or wrong
// range, no ETag, no length).
// The caller has cleared req.ranges so that httplib does not cut the answer a second time.
void serve_file(const httplib::Request& req, httplib::Response& res,
                const std::filesystem::path& file, const ActiveFaults& faults);

// Writes a zip archive of `entries`, each `bytes` zeros, deflated (a zip bomb: a few MB
// that unpack to many GB). Throws std::runtime_error.
void write_zip_bomb(const std::filesystem::path& file, const std::vector<std::string>& entries,
                    int64_t bytes);

}  // namespace castmill::tools
