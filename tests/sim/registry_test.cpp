// The simulated registry: the query table's rules, the size answers of
// ZwQueryValueKey, handles and their misuse, device keys, and injected faults.
#include "tests/support/sim_fixture.h"

#include <sim/registry.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using simtest::SimTest;

const std::u16string kParameters = std::u16string(sim::kRegistryServices) + u"\\vodrek\\Parameters";
constexpr NTSTATUS kStatusKeyDeleted = static_cast<NTSTATUS>(0xC000017CL);
constexpr NTSTATUS kStatusObjectPathSyntaxBad = static_cast<NTSTATUS>(0xC000003BL);

PWSTR W(const char16_t* s) {
    return const_cast<PWSTR>(s);
}

UNICODE_STRING Counted(const char16_t* text) {
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, text);
    return s;
}

struct Seen {
    std::u16string name;
    ULONG type;
    std::u16string text;  // string data without its terminator
    ULONG length;
};

NTSTATUS NTAPI Record(PWSTR name, ULONG type, PVOID data, ULONG length, PVOID context, PVOID) {
    std::u16string text;
    if (type == REG_SZ && length >= 2)
        text.assign(static_cast<WCHAR*>(data), length / 2 - 1);
    static_cast<std::vector<Seen>*>(context)->push_back({name ? name : u"", type, text, length});
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI Refuse(PWSTR, ULONG, PVOID, ULONG, PVOID, PVOID) {
    return STATUS_INVALID_DEVICE_STATE;
}

RTL_QUERY_REGISTRY_TABLE Direct(const char16_t* name, void* target, ULONG flags = 0) {
    RTL_QUERY_REGISTRY_TABLE e{};
    e.Flags = RTL_QUERY_REGISTRY_DIRECT | flags;
    e.Name = W(name);
    e.EntryContext = target;
    return e;
}

RTL_QUERY_REGISTRY_TABLE Routine(PRTL_QUERY_REGISTRY_ROUTINE routine, const char16_t* name,
                                 ULONG flags = 0) {
    RTL_QUERY_REGISTRY_TABLE e{};
    e.QueryRoutine = routine;
    e.Flags = flags;
    e.Name = W(name);
    return e;
}

NTSTATUS Query(ULONG relativeTo, const char16_t* path, std::vector<RTL_QUERY_REGISTRY_TABLE> table,
               void* context = nullptr) {
    table.push_back(RTL_QUERY_REGISTRY_TABLE{});
    return RtlQueryRegistryValues(relativeTo, path, table.data(), context, nullptr);
}

HANDLE Open(const std::u16string& path, ACCESS_MASK access = KEY_READ) {
    UNICODE_STRING name{static_cast<USHORT>(path.size() * 2), static_cast<USHORT>(path.size() * 2),
                        W(path.c_str())};
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr,
                               nullptr);
    HANDLE h = nullptr;
    EXPECT_EQ(ZwOpenKey(&h, access, &oa), STATUS_SUCCESS);
    return h;
}

TEST_F(SimTest, HostApiStoresTypedValuesAndMatchesNamesWithoutCase) {
    sim::SetRegistryString(kParameters, u"PortName", u"COM3");
    sim::SetRegistryDword(kParameters, u"ExtBaudrate", 0x80000000);
    sim::SetRegistryMultiString(kParameters, u"Aliases", {u"A", u"BC"});

    EXPECT_EQ(sim::GetRegistryValue(kParameters, u"PortName")->data.size(), 10u);
    std::u16string shouted = std::u16string(sim::kRegistryServices) + u"\\VODREK\\parameters";
    EXPECT_EQ(sim::GetRegistryString(shouted, u"PORTNAME"), u"COM3");
    EXPECT_EQ(sim::GetRegistryDword(kParameters, u"extbaudrate"), 0x80000000u);
    EXPECT_EQ(sim::GetRegistryMultiString(kParameters, u"Aliases"),
              (std::vector<std::u16string>{u"A", u"BC"}));
    EXPECT_FALSE(sim::GetRegistryDword(kParameters, u"PortName"));

    auto values = sim::RegistryValues(kParameters);
    ASSERT_EQ(values.size(), 3u);
    EXPECT_EQ(values[0].name, u"PortName");
    EXPECT_TRUE(sim::DeleteRegistryValue(kParameters, u"portname"));
    EXPECT_FALSE(sim::GetRegistryValue(kParameters, u"PortName"));

    sim::ResetRegistry();
    EXPECT_FALSE(sim::RegistryKeyExists(kParameters));
    EXPECT_TRUE(sim::RegistryKeyExists(sim::kRegistryDeviceMap));
}

TEST_F(SimTest, DirectStringIsAllocatedWhenBufferIsNullAndCopiedOnlyWhenItFits) {
    sim::SetRegistryString(kParameters, u"PortName", u"COM3");

    UNICODE_STRING allocated{};
    ASSERT_EQ(
        Query(RTL_REGISTRY_SERVICES, u"vodrek\\Parameters", {Direct(u"PortName", &allocated)}),
        STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(allocated.Buffer, allocated.Length / 2), u"COM3");
    EXPECT_EQ(allocated.MaximumLength, 10);
    EXPECT_EQ(sim::PoolBlocksWithTag(sim::kStringPoolTag), 1u);
    RtlFreeUnicodeString(&allocated);
    EXPECT_EQ(sim::PoolBlocksWithTag(sim::kStringPoolTag), 0u);

    WCHAR chars[5] = {u'#', u'#', u'#', u'#', u'#'};
    UNICODE_STRING fits{0, 10, chars};
    ASSERT_EQ(Query(RTL_REGISTRY_SERVICES, u"vodrek\\Parameters", {Direct(u"PortName", &fits)}),
              STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(chars, 5), std::u16string(u"COM3\0", 5));

    WCHAR small[4] = {u'#', u'#', u'#', u'#'};
    UNICODE_STRING tooSmall{0, 8, small};
    EXPECT_EQ(Query(RTL_REGISTRY_SERVICES, u"vodrek\\Parameters", {Direct(u"PortName", &tooSmall)}),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(small[0], u'#');
    EXPECT_EQ(tooSmall.Length, 0);
}

TEST_F(SimTest, MissingValuesTakeDefaultsUnlessRequired) {
    sim::SetRegistryDword(kParameters, u"RxFifo", 14);
    ULONG rxFifo = 0, txFifo = 0, untouched = 99, fallback = 16;
    auto withDefault = Direct(u"TxFifo", &txFifo);
    withDefault.DefaultType = REG_DWORD;
    withDefault.DefaultData = &fallback;
    withDefault.DefaultLength = sizeof fallback;
    UNICODE_STRING name{};
    auto stringDefault = Direct(u"PortName", &name);
    stringDefault.DefaultType = REG_SZ;
    stringDefault.DefaultData = W(u"COM9");  // DefaultLength 0: measured
    ASSERT_EQ(Query(RTL_REGISTRY_SERVICES, u"vodrek\\Parameters",
                    {Direct(u"RxFifo", &rxFifo), withDefault, Direct(u"Absent", &untouched),
                     stringDefault}),
              STATUS_SUCCESS);
    EXPECT_EQ(rxFifo, 14u);
    EXPECT_EQ(txFifo, 16u);
    EXPECT_EQ(untouched, 99u);
    EXPECT_EQ(std::u16string(name.Buffer, name.Length / 2), u"COM9");
    RtlFreeUnicodeString(&name);

    auto required = withDefault;
    required.Flags |= RTL_QUERY_REGISTRY_REQUIRED;
    EXPECT_EQ(Query(RTL_REGISTRY_SERVICES, u"vodrek\\Parameters", {required}),
              STATUS_OBJECT_NAME_NOT_FOUND);

    // An absent key fails the query unless the caller marked it optional.
    txFifo = 0;
    EXPECT_EQ(Query(RTL_REGISTRY_SERVICES, u"other\\Parameters", {withDefault}),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(txFifo, 0u);
    EXPECT_EQ(
        Query(RTL_REGISTRY_SERVICES | RTL_REGISTRY_OPTIONAL, u"other\\Parameters", {withDefault}),
        STATUS_SUCCESS);
    EXPECT_EQ(txFifo, 16u);
}

TEST_F(SimTest, QueryRoutinesSeeMultiStringsSplitAndEveryValueWhenUnnamed) {
    sim::SetRegistryMultiString(kParameters, u"Aliases", {u"A", u"BC"});
    sim::SetRegistryDword(kParameters, u"Flags", 1);
    std::vector<Seen> seen;
    ASSERT_EQ(
        Query(RTL_REGISTRY_SERVICES, u"vodrek\\Parameters",
              {Routine(Record, u"Aliases"),
               Routine(Record, u"Aliases", RTL_QUERY_REGISTRY_NOEXPAND), Routine(Record, nullptr)},
              &seen),
        STATUS_SUCCESS);
    ASSERT_EQ(seen.size(), 6u);
    EXPECT_EQ(seen[0].text, u"A");
    EXPECT_EQ(seen[1].text, u"BC");
    EXPECT_EQ(seen[1].type, ULONG(REG_SZ));
    EXPECT_EQ(seen[2].type, ULONG(REG_MULTI_SZ));
    EXPECT_EQ(seen[2].length, 12u);
    // The unnamed entry enumerates the key, splitting the REG_MULTI_SZ as well.
    EXPECT_EQ(seen[3].name, u"Aliases");
    EXPECT_EQ(seen[4].text, u"BC");
    EXPECT_EQ(seen[5].name, u"Flags");

    // A routine's failure ends the table with its status.
    ULONG flags = 0;
    EXPECT_EQ(Query(RTL_REGISTRY_SERVICES, u"vodrek\\Parameters",
                    {Routine(Refuse, u"Flags"), Direct(u"Flags", &flags)}),
              STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(flags, 0u);
}

TEST_F(SimTest, EntryWithoutRoutineOrDirectEndsTheTableAndIsReported) {
    sim::SetRegistryDword(kParameters, u"Flags", 1);
    ULONG flags = 0;
    RTL_QUERY_REGISTRY_TABLE forgotten = Direct(u"Flags", &flags);
    forgotten.Flags = 0;
    sim::ExpectViolation guard(sim::Rule::BadParameter);
    EXPECT_EQ(
        Query(RTL_REGISTRY_SERVICES, u"vodrek\\Parameters", {forgotten, Direct(u"Flags", &flags)}),
        STATUS_SUCCESS);
    EXPECT_EQ(guard.Count(), 1);
    EXPECT_EQ(flags, 0u);
}

TEST_F(SimTest, WriteCreatesOnlyTheLastKeyAndDeleteReportsAbsence) {
    ULONG one = 1;
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, u"vodrek\\Deep\\Key", u"X", REG_DWORD,
                                    &one, sizeof one),
              STATUS_OBJECT_NAME_NOT_FOUND);
    sim::CreateRegistryKey(std::u16string(sim::kRegistryServices) + u"\\vodrek");
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, u"vodrek\\Parameters", u"X", REG_DWORD,
                                    &one, sizeof one),
              STATUS_SUCCESS);
    EXPECT_EQ(sim::GetRegistryDword(kParameters, u"X"), 1u);
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_ABSOLUTE, kParameters.c_str(), u"x"),
              STATUS_SUCCESS);
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_ABSOLUTE, kParameters.c_str(), u"x"),
              STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(SimTest, QueryValueKeyAnswersSizesForEveryBufferLength) {
    sim::SetRegistryString(kParameters, u"Pin", u"COM3");  // 10 bytes of data
    HANDLE key = Open(kParameters);
    UNICODE_STRING name = Counted(u"PIN");
    alignas(8) UCHAR buffer[64];
    ULONG needed = 0;

    const ULONG partialSize = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data) + 10;
    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, nullptr, 0, &needed),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(needed, partialSize);

    std::memset(buffer, 0xEE, sizeof buffer);
    auto* partial = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
    EXPECT_EQ(
        ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, partialSize - 1, &needed),
        STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(needed, partialSize);
    EXPECT_EQ(partial->Type, ULONG(REG_SZ));
    EXPECT_EQ(partial->DataLength, 10u);
    EXPECT_EQ(partial->Data[0], 0xEE);  // no partial data

    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, partialSize, &needed),
              STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(partial->Data, u"COM3", 10), 0);

    // The data of the full form starts on a ULONG boundary after the name.
    auto* full = reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(buffer);
    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValueFullInformation, buffer, sizeof buffer, &needed),
              STATUS_SUCCESS);
    EXPECT_EQ(full->NameLength, 6u);
    EXPECT_EQ(full->DataOffset, 28u);
    EXPECT_EQ(needed, 38u);
    EXPECT_EQ(std::memcmp(buffer + full->DataOffset, u"COM3", 10), 0);

    auto* basic = reinterpret_cast<PKEY_VALUE_BASIC_INFORMATION>(buffer);
    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValueBasicInformation, buffer, 14, &needed),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(needed, 18u);
    EXPECT_EQ(basic->NameLength, 6u);
    EXPECT_EQ(basic->Name[0], u'P');  // the name as far as it fits

    UNICODE_STRING absent = Counted(u"Absent");
    EXPECT_EQ(
        ZwQueryValueKey(key, &absent, KeyValuePartialInformation, buffer, sizeof buffer, &needed),
        STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(ZwSetValueKey(key, &name, 0, REG_SZ, W(u"X"), 4), STATUS_ACCESS_DENIED);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

TEST_F(SimTest, OpenKeyResolvesRelativeToARootHandle) {
    sim::CreateRegistryKey(kParameters);
    HANDLE service = Open(std::u16string(sim::kRegistryServices) + u"\\VODREK");
    UNICODE_STRING relative = Counted(u"parameters");
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &relative, OBJ_KERNEL_HANDLE, service, nullptr);
    HANDLE parameters = nullptr;
    ASSERT_EQ(ZwOpenKey(&parameters, KEY_ALL_ACCESS, &oa), STATUS_SUCCESS);
    UNICODE_STRING value = Counted(u"Written");
    ULONG seven = 7;
    EXPECT_EQ(ZwSetValueKey(parameters, &value, 0, REG_DWORD, &seven, sizeof seven),
              STATUS_SUCCESS);
    EXPECT_EQ(sim::GetRegistryDword(kParameters, u"Written"), 7u);
    EXPECT_EQ(sim::OpenRegistryHandles(), 2u);

    UNICODE_STRING missing = Counted(u"Missing");
    oa.ObjectName = &missing;
    HANDLE none = reinterpret_cast<HANDLE>(1);
    EXPECT_EQ(ZwOpenKey(&none, KEY_READ, &oa), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(none, nullptr);
    oa.RootDirectory = nullptr;  // a relative name with no root
    EXPECT_EQ(ZwOpenKey(&none, KEY_READ, &oa), kStatusObjectPathSyntaxBad);

    // A key deleted under an open handle is gone for that handle too.
    EXPECT_TRUE(sim::DeleteRegistryKey(kParameters));
    EXPECT_EQ(ZwSetValueKey(parameters, &value, 0, REG_DWORD, &seven, sizeof seven),
              kStatusKeyDeleted);
    ZwClose(parameters);
    ZwClose(service);
    EXPECT_EQ(sim::OpenRegistryHandles(), 0u);
}

TEST_F(SimTest, HandleMisuseFiresTheVerifier) {
    HANDLE key = Open(sim::kRegistryServices);
    ASSERT_EQ(ZwClose(key), STATUS_SUCCESS);
    sim::ExpectViolation guard(sim::Rule::BadParameter);
    EXPECT_EQ(ZwClose(key), STATUS_INVALID_HANDLE);
    EXPECT_EQ(guard.Count(), 1);
    UNICODE_STRING name = Counted(u"X");
    ULONG needed;
    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, nullptr, 0, &needed),
              STATUS_INVALID_HANDLE);
    EXPECT_EQ(guard.Count(), 2);
}

TEST_F(SimTest, DeviceKeysOpenOnlyForRegisteredPhysicalDevices) {
    DEVICE_OBJECT pdo{}, fdo{};
    const std::u16string deviceKey =
        u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\SimBus\\Adapter\\1"
        u"\\Device Parameters";
    sim::SetDeviceRegistryKey(&pdo, PLUGPLAY_REGKEY_DEVICE, deviceKey);
    EXPECT_FALSE(sim::RegistryKeyExists(deviceKey));

    HANDLE key = nullptr;
    ASSERT_EQ(IoOpenDeviceRegistryKey(&pdo, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &key),
              STATUS_SUCCESS);
    EXPECT_TRUE(sim::RegistryKeyExists(deviceKey));
    ULONG latency = 16;
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_HANDLE, static_cast<PCWSTR>(key), u"Latency",
                                    REG_DWORD, &latency, sizeof latency),
              STATUS_SUCCESS);
    ULONG read = 0;
    EXPECT_EQ(Query(RTL_REGISTRY_HANDLE, static_cast<PCWSTR>(key), {Direct(u"Latency", &read)}),
              STATUS_SUCCESS);
    EXPECT_EQ(read, 16u);
    EXPECT_EQ(sim::OpenRegistryHandlePaths().size(), 1u);
    ZwClose(key);

    HANDLE other = nullptr;
    EXPECT_EQ(IoOpenDeviceRegistryKey(&pdo, PLUGPLAY_REGKEY_DRIVER, KEY_READ, &other),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(IoOpenDeviceRegistryKey(&pdo, PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_DRIVER,
                                      KEY_READ, &other),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(IoOpenDeviceRegistryKey(&fdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &other),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(sim::OpenRegistryHandles(), 0u);
}

TEST_F(SimTest, InjectedReadFailuresReachTheCaller) {
    sim::SetRegistryDword(kParameters, u"A", 1);
    sim::SetRegistryDword(kParameters, u"B", 2);
    ULONG a = 0, b = 0;
    sim::FailNthRegistryRead(2, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(
        Query(RTL_REGISTRY_ABSOLUTE, kParameters.c_str(), {Direct(u"A", &a), Direct(u"B", &b)}),
        STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(a, 1u);
    EXPECT_EQ(b, 0u);

    HANDLE key = Open(kParameters);
    UNICODE_STRING name = Counted(u"A");
    UCHAR buffer[32];
    ULONG needed;
    sim::FailRegistryReads(true);
    EXPECT_EQ(
        ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, sizeof buffer, &needed),
        STATUS_INSUFFICIENT_RESOURCES);
    sim::FailRegistryReads(false);
    EXPECT_EQ(
        ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, sizeof buffer, &needed),
        STATUS_SUCCESS);
    ZwClose(key);
}

TEST_F(SimTest, RegistryRoutinesRequirePassiveLevel) {
    sim::ExpectViolation guard(sim::Rule::IrqlTooHigh);
    ULONG value = 0;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    Query(RTL_REGISTRY_SERVICES, u"vodrek", {Direct(u"X", &value)});
    KeLowerIrql(old);
    EXPECT_EQ(guard.Count(), 1);
}

}  // namespace
