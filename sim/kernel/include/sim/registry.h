// The simulated registry as tests and tools see it: prepare keys and values
// before a driver reads them, look at what it wrote, give each physical device
// object its device keys, and make registry reads fail on demand.
//
// Paths are absolute, start with \Registry and use '\' between key names; key
// and value names compare without regard to ASCII case and keep the case they
// were created with. The registry starts afresh with every Simulation, holding
// only the keys the RTL_REGISTRY_* relative paths lead to.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <simnt/wdm.h>

namespace sim {

constexpr const char16_t* kRegistryServices =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services";
constexpr const char16_t* kRegistryControl =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Control";
constexpr const char16_t* kRegistryWindowsNt =
    u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion";
constexpr const char16_t* kRegistryDeviceMap = u"\\Registry\\Machine\\Hardware\\DeviceMap";

// Pool tag of the buffers that the Rtl string routines and RtlQueryRegistryValues
// allocate on a caller's behalf (freed with RtlFreeUnicodeString/RtlFreeAnsiString).
constexpr ULONG kStringPoolTag = ULONG('R') | ULONG('t') << 8 | ULONG('l') << 16 | ULONG('S') << 24;

struct RegistryValue {
    std::u16string name;
    ULONG type = REG_NONE;
    std::vector<uint8_t> data;
};

// Back to the initial tree: every key, value, handle, device key and fault gone.
void ResetRegistry();

// Keys. CreateRegistryKey creates every missing key along the path; deleting a
// key deletes its subkeys, and handles still open on it answer
// STATUS_KEY_DELETED from then on.
void CreateRegistryKey(const std::u16string& path);
bool RegistryKeyExists(const std::u16string& path);
bool DeleteRegistryKey(const std::u16string& path);
std::vector<std::u16string> RegistrySubkeys(const std::u16string& path);

// Values. The setters create the key path; a REG_SZ is stored with its
// terminating NUL and a REG_MULTI_SZ with its closing empty string, as an INF
// or the registry editor would store them.
void SetRegistryValue(const std::u16string& keyPath, const std::u16string& name, ULONG type,
                      std::vector<uint8_t> data);
void SetRegistryString(const std::u16string& keyPath, const std::u16string& name,
                       const std::u16string& value);
void SetRegistryDword(const std::u16string& keyPath, const std::u16string& name, ULONG value);
void SetRegistryMultiString(const std::u16string& keyPath, const std::u16string& name,
                            const std::vector<std::u16string>& strings);
bool DeleteRegistryValue(const std::u16string& keyPath, const std::u16string& name);

std::optional<RegistryValue> GetRegistryValue(const std::u16string& keyPath,
                                              const std::u16string& name);
// The typed getters answer nothing when the value is absent or of another type
// (a REG_EXPAND_SZ reads as a string; the string ends at the first NUL).
std::optional<std::u16string> GetRegistryString(const std::u16string& keyPath,
                                                const std::u16string& name);
std::optional<ULONG> GetRegistryDword(const std::u16string& keyPath, const std::u16string& name);
std::optional<std::vector<std::u16string>> GetRegistryMultiString(const std::u16string& keyPath,
                                                                  const std::u16string& name);
// In the order the values were created.
std::vector<RegistryValue> RegistryValues(const std::u16string& keyPath);

// The key IoOpenDeviceRegistryKey opens for `pdo` and `keyType`
// (PLUGPLAY_REGKEY_DEVICE or PLUGPLAY_REGKEY_DRIVER, optionally with
// PLUGPLAY_REGKEY_CURRENT_HWPROFILE), set by whoever creates the physical device
// object. The key itself is created on the first open, as the platform does.
void SetDeviceRegistryKey(PDEVICE_OBJECT pdo, ULONG keyType, std::u16string path);
void ForgetDeviceRegistryKeys(PDEVICE_OBJECT pdo);

// Fault injection on value reads: each ZwQueryValueKey, and each value that
// RtlQueryRegistryValues looks up or enumerates, is one read. A failed read
// answers `status` as the registry would answer an I/O error.
void FailRegistryReads(bool fail, NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES);
// The n-th read from now fails (1 = the next); 0 turns it off.
void FailNthRegistryRead(uint64_t n, NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES);
uint64_t RegistryReads();

// Handles a driver opened (ZwOpenKey, IoOpenDeviceRegistryKey) and has not
// closed, with the path of the key each one refers to.
size_t OpenRegistryHandles();
std::vector<std::u16string> OpenRegistryHandlePaths();

}  // namespace sim
