#pragma once

#include <array>
#include <string>
#include <string_view>

// The system (type 1) and chassis (type 3) strings of the firmware's SMBIOS tables.
namespace velora::sys {

// Eleven text slots, numbered as the fingerprint orders them.
struct FirmwareInfo {
    enum Slot {
        kSystemManufacturer = 0,
        kSystemProduct = 1,
        kSystemVersion = 2,
        kSystemSerial = 3,
        kSystemSku = 4,
        kUnused = 5,
        kChassisKind = 6,  // "NoteBook" or "Desktop"
        kChassisManufacturer = 7,
        kChassisVersion = 8,
        kChassisSerial = 9,
        kChassisAssetTag = 10,
        kSlotCount = 11,
    };
    std::array<std::string, kSlotCount> slots;
};

// The chassis kind of a type 3 chassis-type byte: 10 (notebook) and 14 (sub
// notebook) are "NoteBook", everything else "Desktop".
std::string chassis_kind(unsigned char chassis_type);

// Walks raw SMBIOS structure data (no header). The first structure of type 1 and
// the first of type 3 fill the record; a missing string or index 0 gives an empty
// text. Malformed data ends the walk with what was read so far.
FirmwareInfo parse_smbios_tables(std::string_view table);

// The slots concatenated in the fingerprint's order: 10, 7, 9, 6, 8, 5, 0, 1, 3, 4, 2.
std::string firmware_strings(const FirmwareInfo& info);

}  // namespace velora::sys
