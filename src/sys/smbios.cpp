#include "sys/smbios.h"

#include <vector>

namespace velora::sys {

namespace {

constexpr unsigned char kTypeSystem = 1;
constexpr unsigned char kTypeChassis = 3;
constexpr unsigned char kTypeEndOfTable = 127;
constexpr size_t kHeaderSize = 4;  // type, length, handle

// One structure: its formatted area and its string set.
struct Structure {
    unsigned char type = 0;
    std::string_view formatted;
    std::vector<std::string_view> strings;

    unsigned char byte(size_t offset) const {
        return offset < formatted.size() ? static_cast<unsigned char>(formatted[offset]) : 0;
    }
    // A string field holds a 1-based index into the string set.
    std::string text(size_t offset) const {
        const unsigned char index = byte(offset);
        if (index == 0 || index > strings.size()) return {};
        return std::string(strings[index - 1]);
    }
};

}  // namespace

std::string chassis_kind(unsigned char chassis_type) {
    return chassis_type == 10 || chassis_type == 14 ? "NoteBook" : "Desktop";
}

FirmwareInfo parse_smbios_tables(std::string_view table) {
    FirmwareInfo info;
    bool have_system = false;
    bool have_chassis = false;
    size_t pos = 0;
    while (pos + kHeaderSize <= table.size() && !(have_system && have_chassis)) {
        Structure s;
        s.type = static_cast<unsigned char>(table[pos]);
        const size_t length = static_cast<unsigned char>(table[pos + 1]);
        if (s.type == kTypeEndOfTable || length < kHeaderSize || pos + length > table.size()) break;
        s.formatted = table.substr(pos, length);

        // The string set ends with two zero bytes; a set without strings is just those two.
        const size_t strings_start = pos + length;
        size_t end = table.find(std::string_view("\0\0", 2), strings_start);
        const bool terminated = end != std::string_view::npos;
        if (!terminated) end = table.size();
        std::string_view area = table.substr(strings_start, end - strings_start);
        while (!area.empty()) {
            const size_t zero = area.find('\0');
            s.strings.push_back(area.substr(0, zero));
            if (zero == std::string_view::npos) break;
            area.remove_prefix(zero + 1);
        }

        if (s.type == kTypeSystem && !have_system) {
            have_system = true;
            info.slots[FirmwareInfo::kSystemManufacturer] = s.text(0x04);
            info.slots[FirmwareInfo::kSystemProduct] = s.text(0x05);
            info.slots[FirmwareInfo::kSystemVersion] = s.text(0x06);
            info.slots[FirmwareInfo::kSystemSerial] = s.text(0x07);
            info.slots[FirmwareInfo::kSystemSku] = s.text(0x19);
        } else if (s.type == kTypeChassis && !have_chassis) {
            have_chassis = true;
            info.slots[FirmwareInfo::kChassisManufacturer] = s.text(0x04);
            info.slots[FirmwareInfo::kChassisKind] = chassis_kind(s.byte(0x05));
            info.slots[FirmwareInfo::kChassisVersion] = s.text(0x06);
            info.slots[FirmwareInfo::kChassisSerial] = s.text(0x07);
            info.slots[FirmwareInfo::kChassisAssetTag] = s.text(0x08);
        }
        if (!terminated) break;
        pos = end + 2;
    }
    return info;
}

std::string firmware_strings(const FirmwareInfo& info) {
    constexpr int kOrder[] = {10, 7, 9, 6, 8, 5, 0, 1, 3, 4, 2};
    std::string joined;
    for (int slot : kOrder) joined += info.slots[slot];
    return joined;
}

}  // namespace velora::sys
