#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "sys/smbios.h"

// The machine identifier (`pcid`) every report carries: the MD5 of a fingerprint
// made of an adapter's hardware address, three processor identification leaves and
// the firmware's system and chassis strings.
namespace velora::sys {

struct CpuidLeaf {
    std::uint32_t eax = 0;
    std::uint32_t ebx = 0;
    std::uint32_t ecx = 0;
    std::uint32_t edx = 0;
};

struct NetworkAdapter {
    std::string name;
    // Backed by a hardware bus device (not a virtual or software adapter).
    bool bus_backed = false;
    // The factory address; empty when it cannot be read.
    std::vector<std::uint8_t> permanent_address;
    // The address in use; empty for adapters without one.
    std::vector<std::uint8_t> address;
};

// Everything the fingerprint is made of.
struct FingerprintSources {
    std::vector<std::uint8_t> adapter_address;  // usually 6 or 0 bytes
    CpuidLeaf leaf0;
    CpuidLeaf leaf1;
    CpuidLeaf leaf3;
    FirmwareInfo firmware;
};

inline constexpr size_t kFingerprintSize = 1024;
inline constexpr size_t kAdapterAddressMax = 6;
// The identifier when the computation gives nothing.
inline constexpr const char* kEmptyPcid = "000000000";

// The cached identifier of this machine; computed on the first call.
const std::string& get_pcid();

// The identifier for given sources: 32 lowercase hexadecimal digits.
std::string compute_pcid(const FingerprintSources& sources);

// The filled part of the 1024-byte fingerprint buffer.
std::string build_fingerprint(const FingerprintSources& sources);

// The adapter address the fingerprint uses: the smallest permanent address (6
// bytes, byte-wise order) among bus-backed adapters; else the whole address of the
// first adapter that has one; else nothing.
std::vector<std::uint8_t> choose_adapter_address(const std::vector<NetworkAdapter>& adapters);

// This machine's sources.
FingerprintSources collect_fingerprint_sources();

// Platform primitives.

// The network adapters, in the platform's order.
std::vector<NetworkAdapter> adapter_addresses();

// Processor identification leaf (sub-leaf 0); zeros where the processor has none.
CpuidLeaf cpuid(std::uint32_t leaf);

// The firmware's system and chassis strings; all empty when there are no tables.
FirmwareInfo firmware_info();

}  // namespace velora::sys
