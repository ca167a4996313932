#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

// SHA-256 (FIPS 180-4) for content that arrives in pieces. Every installed byte of a signed
// release goes through it, so it uses the processor's SHA instructions where there are
// some (x86 SHA extensions, about three times libsodium's speed) and libsodium's portable
// code elsewhere; both give the same digest.
class Sha256 {
public:
    // allow_extensions false keeps to the portable code, to compare the two.
    explicit Sha256(bool allow_extensions = true);
    void update(const void* data, size_t size);
    // Finishes the digest; the object then starts over as a fresh context.
    std::array<uint8_t, 32> digest();
    std::string hex_digest();

    // Whether this processor has the instructions the fast path needs.
    static bool processor_has_extensions();

    // Room for libsodium's state, kept out of this header.
    struct PortableState {
        alignas(16) unsigned char bytes[128];
    };

private:
    // Whole blocks with the processor's instructions.
    void transform(const uint8_t* blocks, size_t count);
    void reset();

    bool extensions_;
    PortableState portable_;
    uint32_t state_[8];
    uint64_t length_ = 0;  // bytes hashed so far
    uint8_t buffer_[64];
    size_t buffered_ = 0;
};
