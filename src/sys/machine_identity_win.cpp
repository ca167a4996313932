// The Windows headers need windows.h first.
// clang-format off
#include <windows.h>
#include <winioctl.h>
#include <devguid.h>
#include <iphlpapi.h>
#include <ntddndis.h>
#include <setupapi.h>
// clang-format on

#if defined(__x86_64__) || defined(__i386__)
#endif

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "base/wide_text_win.h"
#include "sys/machine_identity.h"

namespace velora::sys {

namespace {

constexpr DWORD kInstanceIdChars = 256;
constexpr size_t kPermanentAddressBytes = 6;
// Device instances of these buses are hardware adapters.
constexpr const wchar_t* kHardwarePrefixes[] = {L"PCI", L"{1A3E09BE-1E45-494B-9174-D7385B45BBF5}"};
// The device interface class of network adapters' NDIS device objects.
constexpr const wchar_t* kNdisInterface = L"#{ad498944-762f-11d0-8dcb-00c04fc3358c}";

bool starts_with_ignoring_case(const std::wstring& text, const wchar_t* prefix) {
    const int length = static_cast<int>(wcslen(prefix));
    return static_cast<int>(text.size()) >= length &&
           CompareStringOrdinal(text.data(), length, prefix, length, TRUE) == CSTR_EQUAL;
}

bool is_hardware_instance(const std::wstring& instance_id) {
    return std::any_of(
        std::begin(kHardwarePrefixes), std::end(kHardwarePrefixes),
        [&](const wchar_t* prefix) { return starts_with_ignoring_case(instance_id, prefix); });
}

// The factory address through the adapter's NDIS device; empty when unreadable.
std::vector<std::uint8_t> permanent_address(const std::wstring& instance_id) {
    std::wstring device = L"\\\\.\\" + instance_id;
    std::replace(device.begin() + 4, device.end(), L'\\', L'#');
    device += kNdisInterface;
    HANDLE handle = CreateFileW(device.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return {};
    ULONG oid = OID_802_3_PERMANENT_ADDRESS;
    std::uint8_t buffer[64] = {};
    DWORD returned = 0;
    const BOOL ok = DeviceIoControl(handle, IOCTL_NDIS_QUERY_GLOBAL_STATS, &oid, sizeof(oid),
                                    buffer, sizeof(buffer), &returned, nullptr);
    CloseHandle(handle);
    if (!ok || returned == 0) return {};
    const size_t size =
        std::min<size_t>(std::min<size_t>(returned, sizeof(buffer)), kPermanentAddressBytes);
    return {buffer, buffer + size};
}

// The present devices of the network adapter class.
std::vector<NetworkAdapter> class_adapters() {
    std::vector<NetworkAdapter> adapters;
    HDEVINFO devices = SetupDiGetClassDevsW(&GUID_DEVCLASS_NET, nullptr, nullptr, DIGCF_PRESENT);
    if (devices == INVALID_HANDLE_VALUE) return adapters;
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof(data);
    for (DWORD index = 0; SetupDiEnumDeviceInfo(devices, index, &data); ++index) {
        wchar_t id[kInstanceIdChars] = {};
        if (!SetupDiGetDeviceInstanceIdW(devices, &data, id, kInstanceIdChars, nullptr)) continue;
        NetworkAdapter adapter;
        const std::wstring instance_id(id);
        adapter.name = narrow(instance_id);
        adapter.bus_backed = is_hardware_instance(instance_id);
        if (adapter.bus_backed) adapter.permanent_address = permanent_address(instance_id);
        adapters.push_back(std::move(adapter));
    }
    SetupDiDestroyDeviceInfoList(devices);
    return adapters;
}

// The adapters with the addresses in use, in the system's order.
std::vector<NetworkAdapter> adapters_in_use() {
    std::vector<NetworkAdapter> adapters;
    ULONG size = 16 * sizeof(IP_ADAPTER_INFO);
    std::unique_ptr<std::uint8_t[]> buffer;
    DWORD rc = ERROR_BUFFER_OVERFLOW;
    for (int attempt = 0; attempt < 4 && rc == ERROR_BUFFER_OVERFLOW; ++attempt) {
        buffer = std::make_unique<std::uint8_t[]>(size);
        rc = GetAdaptersInfo(reinterpret_cast<IP_ADAPTER_INFO*>(buffer.get()), &size);
    }
    if (rc != ERROR_SUCCESS) return adapters;
    for (auto* info = reinterpret_cast<IP_ADAPTER_INFO*>(buffer.get()); info; info = info->Next) {
        NetworkAdapter adapter;
        adapter.name = info->AdapterName;
        const size_t length = std::min<size_t>(info->AddressLength, sizeof(info->Address));
        adapter.address.assign(info->Address, info->Address + length);
        adapters.push_back(std::move(adapter));
    }
    return adapters;
}

}  // namespace

std::vector<NetworkAdapter> adapter_addresses() {
    std::vector<NetworkAdapter> adapters = class_adapters();
    std::vector<NetworkAdapter> in_use = adapters_in_use();
    adapters.insert(adapters.end(), std::make_move_iterator(in_use.begin()),
                    std::make_move_iterator(in_use.end()));
    return adapters;
}

FirmwareInfo firmware_info() {
    // Looked up at run time: the firmware table service is missing on old systems.
    using GetTableFunction = UINT(WINAPI*)(DWORD, DWORD, PVOID, DWORD);
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    if (!kernel) return {};
    const auto get_table = reinterpret_cast<GetTableFunction>(
        reinterpret_cast<void*>(GetProcAddress(kernel, "GetSystemFirmwareTable")));
    if (!get_table) return {};
    constexpr DWORD kProvider = ('R' << 24) | ('S' << 16) | ('M' << 8) | 'B';
    const UINT size = get_table(kProvider, 0, nullptr, 0);
    // A 4-byte version header and a 32-bit table length precede the tables.
    constexpr UINT kHeaderSize = 8;
    if (size <= kHeaderSize) return {};
    std::string raw(size, '\0');
    const UINT written = get_table(kProvider, 0, raw.data(), size);
    if (written <= kHeaderSize || written > size) return {};
    std::uint32_t length = 0;
    std::memcpy(&length, raw.data() + 4, sizeof(length));
    const size_t available = written - kHeaderSize;
    return parse_smbios_tables(
        std::string_view(raw).substr(kHeaderSize, std::min<size_t>(length, available)));
}

}  // namespace velora::sys
