#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

// The buffering that block hashes (MD5, SHA-256) share: fills the partial block first,
// hands whole blocks to transform(blocks, count) where the caller keeps them, and keeps
// the rest for the next call.
template <typename Transform>
void feed_blocks(uint8_t (&buffer)[64], size_t& buffered, const uint8_t* bytes, size_t size,
                 Transform transform) {
    if (buffered > 0) {
        const size_t take = std::min(size, sizeof(buffer) - buffered);
        std::memcpy(buffer + buffered, bytes, take);
        buffered += take;
        bytes += take;
        size -= take;
        if (buffered < sizeof(buffer)) return;
        transform(buffer, size_t{1});
        buffered = 0;
    }
    const size_t whole = size / 64;
    if (whole > 0) transform(bytes, whole);
    bytes += whole * 64;
    size -= whole * 64;
    if (size > 0) {
        std::memcpy(buffer, bytes, size);
        buffered = size;
    }
}
