#include "sys/machine_identity.h"

#include <algorithm>
#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

#include "base/crypto.h"

namespace velora::sys {

namespace {

constexpr size_t kLeavesSize = 44;  // leaf 0, leaf 1 without EBX, leaf 3

// Processor leaf registers, each 32-bit little-endian.
void put_u32(std::string& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) out += static_cast<char>((value >> shift) & 0xffu);
}

std::vector<std::uint8_t> padded_address(const std::vector<std::uint8_t>& address) {
    std::vector<std::uint8_t> padded(
        address.begin(), address.begin() + std::min(address.size(), kAdapterAddressMax));
    padded.resize(kAdapterAddressMax, 0);
    return padded;
}

}  // namespace

CpuidLeaf cpuid(std::uint32_t leaf) {
    CpuidLeaf regs;
#if defined(__x86_64__) || defined(__i386__)
    __cpuid_count(leaf, 0, regs.eax, regs.ebx, regs.ecx, regs.edx);
#else
    (void)leaf;
#endif
    return regs;
}

std::vector<std::uint8_t> choose_adapter_address(const std::vector<NetworkAdapter>& adapters) {
    std::vector<std::uint8_t> smallest;
    for (const NetworkAdapter& adapter : adapters) {
        if (!adapter.bus_backed || adapter.permanent_address.empty()) continue;
        std::vector<std::uint8_t> candidate = padded_address(adapter.permanent_address);
        if (smallest.empty() || candidate < smallest) smallest = std::move(candidate);
    }
    if (!smallest.empty()) return smallest;
    for (const NetworkAdapter& adapter : adapters) {
        if (adapter.address.empty()) continue;
        if (adapter.address.size() >= kFingerprintSize) return {};
        return adapter.address;
    }
    return {};
}

std::string build_fingerprint(const FingerprintSources& sources) {
    std::string buffer;
    buffer.reserve(kFingerprintSize);
    const size_t m = std::min(sources.adapter_address.size(), kFingerprintSize - kLeavesSize);
    buffer.append(reinterpret_cast<const char*>(sources.adapter_address.data()), m);
    put_u32(buffer, sources.leaf0.eax);
    put_u32(buffer, sources.leaf0.ebx);
    put_u32(buffer, sources.leaf0.ecx);
    put_u32(buffer, sources.leaf0.edx);
    put_u32(buffer, sources.leaf1.eax);
    put_u32(buffer, sources.leaf1.ecx);
    put_u32(buffer, sources.leaf1.edx);
    put_u32(buffer, sources.leaf3.eax);
    put_u32(buffer, sources.leaf3.ebx);
    put_u32(buffer, sources.leaf3.ecx);
    put_u32(buffer, sources.leaf3.edx);
    const std::string strings = firmware_strings(sources.firmware);
    buffer.append(strings, 0, kFingerprintSize - buffer.size());
    return buffer;
}

std::string compute_pcid(const FingerprintSources& sources) {
    std::string pcid = md5_hex(build_fingerprint(sources));
    if (pcid.empty()) pcid = kEmptyPcid;
    return pcid;
}

FingerprintSources collect_fingerprint_sources() {
    FingerprintSources sources;
    sources.adapter_address = choose_adapter_address(adapter_addresses());
    sources.leaf0 = cpuid(0);
    sources.leaf1 = cpuid(1);
    sources.leaf3 = cpuid(3);
    sources.firmware = firmware_info();
    return sources;
}

const std::string& get_pcid() {
    static const std::string pcid = compute_pcid(collect_fingerprint_sources());
    return pcid;
}

}  // namespace velora::sys
