#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <string_view>

// Byte strings for the crypto tests: lower-case hex, raw access, random content.
namespace castmill::test {

inline std::string to_hex(std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (char c : bytes) {
        hex.push_back(kDigits[uint8_t(c) >> 4]);
        hex.push_back(kDigits[uint8_t(c) & 15]);
    }
    return hex;
}

inline uint8_t* bytes_of(std::string& s) { return reinterpret_cast<uint8_t*>(s.data()); }

inline std::string random_bytes(std::mt19937& gen, size_t n) {
    std::string bytes(n, '\0');
    for (char& c : bytes) c = char(gen());
    return bytes;
}

}  // namespace castmill::test
