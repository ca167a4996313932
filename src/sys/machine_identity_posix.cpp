#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#if defined(__x86_64__) || defined(__i386__)
#endif

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>

#include "sys/machine_identity.h"

namespace velora::sys {

namespace {

namespace fs = std::filesystem;

const fs::path kNetClass = "/sys/class/net";
const fs::path kDmiTables = "/sys/firmware/dmi/tables/DMI";
const fs::path kDmiStrings = "/sys/class/dmi/id";
constexpr size_t kMaxHardwareAddress = 32;  // the kernel's MAX_ADDR_LEN

std::optional<std::string> read_text(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return std::nullopt;
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return std::nullopt;
    return text;
}

std::string read_line(const fs::path& file) {
    std::string text = read_text(file).value_or("");
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

// "aa:bb:cc:dd:ee:ff" as bytes; empty for an empty or unreadable text.
std::vector<std::uint8_t> parse_address(const std::string& text) {
    std::vector<std::uint8_t> bytes;
    std::istringstream in(text);
    std::string part;
    while (std::getline(in, part, ':')) {
        char* end = nullptr;
        const unsigned long byte = std::strtoul(part.c_str(), &end, 16);
        if (part.empty() || part.size() > 2 || *end != '\0') return {};
        bytes.push_back(static_cast<std::uint8_t>(byte));
    }
    return bytes;
}

class Socket {
public:
    Socket() : fd_(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {}
    ~Socket() {
        if (fd_ >= 0) close(fd_);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int fd() const { return fd_; }

private:
    int fd_;
};

// The factory address, as `ethtool -P` reads it.
std::vector<std::uint8_t> permanent_address(const Socket& sock, const std::string& name) {
    if (sock.fd() < 0 || name.size() >= IFNAMSIZ) return {};
    // The request header is followed by room for the address.
    alignas(ethtool_perm_addr)
        std::uint8_t buffer[sizeof(ethtool_perm_addr) + kMaxHardwareAddress] = {};
    auto* request = reinterpret_cast<ethtool_perm_addr*>(buffer);
    request->cmd = ETHTOOL_GPERMADDR;
    request->size = kMaxHardwareAddress;
    ifreq ifr{};
    std::memcpy(ifr.ifr_name, name.c_str(), name.size());
    ifr.ifr_data = reinterpret_cast<char*>(buffer);
    if (ioctl(sock.fd(), SIOCETHTOOL, &ifr) != 0) return {};
    const size_t size = std::min<size_t>(request->size, kMaxHardwareAddress);
    const std::uint8_t* address = buffer + sizeof(ethtool_perm_addr);
    return {address, address + size};
}

}  // namespace

std::vector<NetworkAdapter> adapter_addresses() {
    struct Indexed {
        long index;
        NetworkAdapter adapter;
    };
    std::vector<Indexed> found;
    const Socket sock;
    std::error_code ec;
    for (fs::directory_iterator it(kNetClass, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path dir = it->path();
        // The adapter list of the platform leaves the loopback out.
        if (read_line(dir / "type") == std::to_string(ARPHRD_LOOPBACK)) continue;
        Indexed entry;
        entry.index = std::strtol(read_line(dir / "ifindex").c_str(), nullptr, 10);
        entry.adapter.name = dir.filename().string();
        std::error_code device_ec;
        entry.adapter.bus_backed = fs::exists(dir / "device", device_ec);
        if (entry.adapter.bus_backed)
            entry.adapter.permanent_address = permanent_address(sock, entry.adapter.name);
        entry.adapter.address = parse_address(read_line(dir / "address"));
        found.push_back(std::move(entry));
    }
    std::sort(found.begin(), found.end(),
              [](const Indexed& a, const Indexed& b) { return a.index < b.index; });
    std::vector<NetworkAdapter> adapters;
    for (Indexed& entry : found) adapters.push_back(std::move(entry.adapter));
    return adapters;
}

FirmwareInfo firmware_info() {
    if (auto table = read_text(kDmiTables); table && !table->empty())
        return parse_smbios_tables(*table);

    // Without access to the raw tables the kernel still publishes the decoded strings.
    FirmwareInfo info;
    std::error_code ec;
    if (!fs::is_directory(kDmiStrings, ec)) return info;
    const std::pair<int, const char*> files[] = {
        {FirmwareInfo::kSystemManufacturer, "sys_vendor"},
        {FirmwareInfo::kSystemProduct, "product_name"},
        {FirmwareInfo::kSystemVersion, "product_version"},
        {FirmwareInfo::kSystemSerial, "product_serial"},
        {FirmwareInfo::kSystemSku, "product_sku"},
        {FirmwareInfo::kChassisManufacturer, "chassis_vendor"},
        {FirmwareInfo::kChassisVersion, "chassis_version"},
        {FirmwareInfo::kChassisSerial, "chassis_serial"},
        {FirmwareInfo::kChassisAssetTag, "chassis_asset_tag"},
    };
    for (const auto& [slot, name] : files) info.slots[slot] = read_line(kDmiStrings / name);
    const std::string chassis_type = read_line(kDmiStrings / "chassis_type");
    if (!chassis_type.empty()) {
        const unsigned long type = std::strtoul(chassis_type.c_str(), nullptr, 10);
        info.slots[FirmwareInfo::kChassisKind] = chassis_kind(static_cast<unsigned char>(type));
    }
    return info;
}

}  // namespace velora::sys
