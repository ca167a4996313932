#include "sys/machine_identity.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <regex>

#include "base/crypto.h"
#include "support/test_env.h"
#include "sys/smbios.h"

namespace velora::sys {
namespace {

// One SMBIOS structure: header (type, length, handle), the formatted bytes after
// the header, then the string set.
std::string structure(unsigned char type, const std::string& fields,
                      const std::vector<std::string>& strings) {
    std::string s;
    s += static_cast<char>(type);
    s += static_cast<char>(4 + fields.size());
    s += std::string("\x34\x12", 2);
    s += fields;
    for (const auto& text : strings) s += text + '\0';
    if (strings.empty()) s += '\0';
    s += '\0';
    return s;
}

std::string bytes(std::initializer_list<int> values) {
    std::string s;
    for (int v : values) s += static_cast<char>(v);
    return s;
}

// Type 1 fields up to the SKU index at offset 0x19.
std::string system_fields(int manufacturer, int product, int version, int serial, int sku) {
    std::string f = bytes({manufacturer, product, version, serial});
    f += std::string(16, '\x11') + bytes({6});  // UUID, wake-up type
    f += bytes({sku, 0});                       // SKU, family
    return f;
}

std::string chassis_fields(int manufacturer, int type, int version, int serial, int asset) {
    return bytes({manufacturer, type, version, serial, asset});
}

const std::string kEnd = structure(127, "", {});

TEST(SmbiosWalker, ReadsSystemAndChassisStrings) {
    const std::string table =
        structure(0, bytes({1, 2, 0, 0}), {"BIOS vendor", "1.0"}) +
        structure(1, system_fields(1, 2, 3, 4, 5), {"Acme", "Box 9", "v2", "SN-1", "SKU-7"}) +
        structure(3, chassis_fields(1, 10, 2, 3, 4), {"Acme Chassis", "c1", "CS-9", "Tag 42"}) +
        kEnd;
    const FirmwareInfo info = parse_smbios_tables(table);
    const std::array<std::string, 11> expected = {"Acme",  "Box 9", "v2",       "SN-1",
                                                  "SKU-7", "",      "NoteBook", "Acme Chassis",
                                                  "c1",    "CS-9",  "Tag 42"};
    EXPECT_EQ(info.slots, expected);
    EXPECT_EQ(firmware_strings(info), "Tag 42Acme ChassisCS-9NoteBookc1AcmeBox 9SN-1SKU-7v2");
}

TEST(SmbiosWalker, IndexZeroOrMissingStringGivesEmptyText) {
    const std::string table = structure(1, system_fields(0, 2, 9, 1, 0), {"Acme", "Box"}) +
                              structure(3, chassis_fields(0, 3, 0, 0, 0), {}) + kEnd;
    const FirmwareInfo info = parse_smbios_tables(table);
    EXPECT_EQ(info.slots[FirmwareInfo::kSystemManufacturer], "");
    EXPECT_EQ(info.slots[FirmwareInfo::kSystemProduct], "Box");
    EXPECT_EQ(info.slots[FirmwareInfo::kSystemVersion], "");
    EXPECT_EQ(info.slots[FirmwareInfo::kSystemSerial], "Acme");
    EXPECT_EQ(info.slots[FirmwareInfo::kChassisManufacturer], "");
    EXPECT_EQ(info.slots[FirmwareInfo::kChassisKind], "Desktop");
    EXPECT_EQ(firmware_strings(info), "DesktopBoxAcme");
}

TEST(SmbiosWalker, OnlyChassisTypesTenAndFourteenAreNotebooks) {
    const auto kind = [](int type) {
        return parse_smbios_tables(structure(3, chassis_fields(0, type, 0, 0, 0), {}) + kEnd)
            .slots[FirmwareInfo::kChassisKind];
    };
    EXPECT_EQ(kind(9), "Desktop");
    EXPECT_EQ(kind(10), "NoteBook");
    EXPECT_EQ(kind(14), "NoteBook");
    EXPECT_EQ(kind(3), "Desktop");
}

TEST(SmbiosWalker, FirstStructureOfEachTypeCountsAndShortStructuresLackFields) {
    // A type 1 from before SKU numbers existed: 8 bytes, no SKU field.
    const std::string old_system = structure(1, bytes({1, 2, 3, 4}), {"Old", "PC", "1", "S"});
    const std::string table = old_system + structure(1, system_fields(1, 0, 0, 0, 1), {"Second"}) +
                              structure(3, chassis_fields(0, 14, 0, 0, 0), {}) +
                              structure(3, chassis_fields(1, 3, 0, 0, 0), {"Later"}) + kEnd;
    const FirmwareInfo info = parse_smbios_tables(table);
    EXPECT_EQ(info.slots[FirmwareInfo::kSystemManufacturer], "Old");
    EXPECT_EQ(info.slots[FirmwareInfo::kSystemSku], "");
    EXPECT_EQ(info.slots[FirmwareInfo::kChassisKind], "NoteBook");
    EXPECT_EQ(info.slots[FirmwareInfo::kChassisManufacturer], "");
}

TEST(SmbiosWalker, StopsAtTheEndMarkerOrAtMalformedData) {
    const std::string chassis = structure(3, chassis_fields(1, 10, 0, 0, 0), {"Acme"});
    // Nothing after the end-of-table structure counts.
    EXPECT_EQ(firmware_strings(parse_smbios_tables(kEnd + chassis)), "");
    // No type 3 at all: the chassis slot stays empty.
    EXPECT_EQ(parse_smbios_tables(structure(1, system_fields(1, 0, 0, 0, 0), {"A"}))
                  .slots[FirmwareInfo::kChassisKind],
              "");
    // A structure claiming more bytes than the table has, a header shorter than
    // four bytes, a cut string set, an empty table.
    std::string overlong = chassis;
    overlong[1] = static_cast<char>(200);
    EXPECT_EQ(firmware_strings(parse_smbios_tables(overlong)), "");
    std::string short_header = chassis;
    short_header[1] = 2;
    EXPECT_EQ(firmware_strings(parse_smbios_tables(short_header)), "");
    const std::string cut = chassis.substr(0, chassis.size() - 2);  // "Acme", no terminators
    EXPECT_EQ(parse_smbios_tables(cut).slots[FirmwareInfo::kChassisManufacturer], "Acme");
    EXPECT_EQ(firmware_strings(parse_smbios_tables("")), "");
    EXPECT_EQ(firmware_strings(parse_smbios_tables(std::string(3, '\x01'))), "");
}

TEST(AdapterAddress, SmallestPermanentAddressOfABusAdapterWins) {
    const NetworkAdapter virt{
        "veth0", false, {0x00, 0x00, 0x00, 0x00, 0x00, 0x01}, {0x02, 0, 0, 0, 0, 1}};
    const NetworkAdapter eth0{
        "eth0", true, {0x3c, 0x7c, 0x3f, 0x10, 0x20, 0x30}, {0x02, 1, 1, 1, 1, 1}};
    const NetworkAdapter eth1{
        "eth1", true, {0x3c, 0x7c, 0x3f, 0x10, 0x20, 0x2f}, {0x02, 2, 2, 2, 2, 2}};
    const std::vector<std::uint8_t> smaller = {0x3c, 0x7c, 0x3f, 0x10, 0x20, 0x2f};
    EXPECT_EQ(choose_adapter_address({virt, eth0, eth1}), smaller);
    EXPECT_EQ(choose_adapter_address({eth1, virt, eth0}), smaller);
}

TEST(AdapterAddress, FallsBackToTheFirstAdapterWithAnAddress) {
    const NetworkAdapter tun{"tun0", false, {}, {}};
    const NetworkAdapter unreadable{"wlan0", true, {}, {0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff}};
    const NetworkAdapter veth{"veth0", false, {}, {0x02, 0x42, 0xac, 0x11, 0x00, 0x02}};
    EXPECT_EQ(choose_adapter_address({tun, unreadable, veth}),
              (std::vector<std::uint8_t>{0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff}));
    EXPECT_TRUE(choose_adapter_address({tun}).empty());
    EXPECT_TRUE(choose_adapter_address({}).empty());
}

FingerprintSources sample_sources() {
    FingerprintSources s;
    s.adapter_address = {0x3c, 0x7c, 0x3f, 0x10, 0x20, 0x30};
    s.leaf0 = {0x0d, 0x756e6547, 0x6c65746e, 0x49656e69};  // "GenuineIntel"
    s.leaf1 = {0x000906ea, 0xdeadbeef, 0x7ffafbbf, 0xbfebfbff};
    s.leaf3 = {0x01020304, 0, 0, 0xa0b0c0d0};
    s.firmware.slots[FirmwareInfo::kChassisAssetTag] = "Tag";
    s.firmware.slots[FirmwareInfo::kSystemVersion] = "v2";
    return s;
}

TEST(Fingerprint, LaysOutAddressLeavesAndStrings) {
    const std::string expected =
        bytes({0x3c, 0x7c, 0x3f, 0x10, 0x20, 0x30}) + bytes({0x0d, 0, 0, 0}) + "Genu" + "ntel" +
        "ineI" +                                                   // leaf 0: EAX EBX ECX EDX
        bytes({0xea, 0x06, 0x09, 0x00}) +                          // leaf 1 EAX
        bytes({0xbf, 0xfb, 0xfa, 0x7f, 0xff, 0xfb, 0xeb, 0xbf}) +  // leaf 1 ECX EDX
        bytes({0x04, 0x03, 0x02, 0x01}) + std::string(8, '\0') +   // leaf 3
        bytes({0xd0, 0xc0, 0xb0, 0xa0}) + "Tagv2";
    EXPECT_EQ(build_fingerprint(sample_sources()), expected);
}

TEST(Fingerprint, NeverExceedsTheBuffer) {
    FingerprintSources s = sample_sources();
    s.firmware.slots[FirmwareInfo::kChassisSerial] = std::string(2000, 'x');
    const std::string fingerprint = build_fingerprint(s);
    EXPECT_EQ(fingerprint.size(), kFingerprintSize);
    EXPECT_EQ(fingerprint.substr(50), "Tag" + std::string(kFingerprintSize - 53, 'x'));
}

bool is_pcid(const std::string& text) { return std::regex_match(text, std::regex("[0-9a-f]{32}")); }

TEST(Pcid, ComesFromTheProcessorLeavesAloneWithoutAdapterOrTables) {
    FingerprintSources s;
    s.leaf0 = cpuid(0);
    s.leaf1 = cpuid(1);
    s.leaf3 = cpuid(3);
    const std::string pcid = compute_pcid(s);
    EXPECT_TRUE(is_pcid(pcid)) << pcid;
    EXPECT_EQ(build_fingerprint(s).size(), 44u);
    EXPECT_EQ(pcid, md5_hex(build_fingerprint(s)));
    EXPECT_NE(compute_pcid(sample_sources()), pcid);
}

TEST(Pcid, IsStableAcrossCallsAndProcesses) {
    const std::string& pcid = get_pcid();
    EXPECT_TRUE(is_pcid(pcid)) << pcid;
    EXPECT_EQ(get_pcid(), pcid);
    EXPECT_EQ(compute_pcid(collect_fingerprint_sources()), pcid);

    const std::string program = (castmill::test::test_programs_dir() / "print_pcid").string();
    for (int run = 0; run < 2; ++run) {
        std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(program.c_str(), "r"), pclose);
        ASSERT_TRUE(pipe);
        char line[64] = {};
        ASSERT_TRUE(std::fgets(line, sizeof line, pipe.get()));
        EXPECT_EQ(std::string(line), pcid + "\n");
    }
}

}  // namespace
}  // namespace velora::sys
