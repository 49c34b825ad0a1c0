// What the simulated kernel exports to driver images, module by module: the
// routines a driver built against the DDK imports by name. Routines the DDK
// makes inline on x64 (the IRQL accessors, KeInitializeSpinLock,
// IoSetCancelRoutine, the time queries that read the shared data page) are
// not exported by Windows and are not here either; the i386 DDK imports some
// of them instead (KeGetCurrentIrql, KeQueryInterruptTime), with the HAL's and
// the kernel's register-argument forms of the spin lock routines.
#include <sim/image_loader.h>

#include <cstring>
#include <cwchar>
#include <string>
#include <strings.h>
#include <type_traits>

#include <simnt/wdm.h>
#include <simnt/ntddser.h>
#include <simnt/usb.h>
#include <simnt/usbdlib.h>
#include <simnt/wmilib.h>

namespace sim {
namespace {

// The C runtime routines the kernel exports, called with the kernel's convention.
__cdecl void* KernelMemcpy(void* to, const void* from, size_t n) { return std::memcpy(to, from, n); }
__cdecl void* KernelMemmove(void* to, const void* from, size_t n) { return std::memmove(to, from, n); }
__cdecl void* KernelMemset(void* to, int value, size_t n) { return std::memset(to, value, n); }
__cdecl int KernelMemcmp(const void* a, const void* b, size_t n) { return std::memcmp(a, b, n); }
__cdecl size_t KernelStrlen(const char* text) { return std::strlen(text); }

#if defined(__i386__)
// PoSetPowerState's previous state in eax, as Windows answers it.
NTAPI ULONG ImagePoSetPowerState(PDEVICE_OBJECT device, POWER_STATE_TYPE type, POWER_STATE state) {
    const POWER_STATE previous = PoSetPowerState(device, type, state);
    ULONG word;
    std::memcpy(&word, &previous, sizeof word);
    return word;
}
#endif

struct Export {
    const char* module;
    const char* name;
    const void* address;
    // For a routine that pops its own arguments (NTAPI), how many bytes of
    // them: an i386 image may import it by its decorated name "_Name@bytes".
    int argumentBytes;
};

template <class A>
constexpr int StackSlot() {
    return static_cast<int>((sizeof(A) + sizeof(void*) - 1) / sizeof(void*) * sizeof(void*));
}
template <class R, class... A>
constexpr int ArgumentBytes(R(NTAPI*)(A...)) {
    // Windows returns a record of up to eight bytes in registers; the host's
    // i386 convention returns every record through a hidden pointer the callee
    // pops, four bytes an image does not push. Such routines are exported
    // through a wrapper that answers in a register.
    static_assert(sizeof(void*) == 8 || !(std::is_class_v<R> || std::is_union_v<R>),
                  "an i386 export answering a record needs a wrapper");
    return (StackSlot<A>() + ... + 0);
}
// Any other convention: the caller pops.
constexpr int ArgumentBytes(...) { return -1; }

#define EXPORT(module, name) {module, #name, reinterpret_cast<const void*>(&name), ArgumentBytes(&name)},
#define NTOSKRNL(name) EXPORT("ntoskrnl.exe", name)
#define HAL(name) EXPORT("hal.dll", name)
#define USBD(name) EXPORT("usbd.sys", name)
#define WMILIB(name) EXPORT("wmilib.sys", name)

const Export kExports[] = {
    // Executive: pool, fast mutexes, debug output.
    NTOSKRNL(ExAllocatePool) NTOSKRNL(ExAllocatePoolWithTag) NTOSKRNL(ExAllocatePoolWithQuotaTag)
    NTOSKRNL(ExFreePool) NTOSKRNL(ExFreePoolWithTag)
    NTOSKRNL(ExAcquireFastMutex) NTOSKRNL(ExReleaseFastMutex) NTOSKRNL(ExTryToAcquireFastMutex)
    NTOSKRNL(DbgPrint)
    // I/O manager.
    NTOSKRNL(IoAcquireCancelSpinLock) NTOSKRNL(IoReleaseCancelSpinLock)
    NTOSKRNL(IoAllocateIrp) NTOSKRNL(IoFreeIrp) NTOSKRNL(IoInitializeIrp) NTOSKRNL(IoReuseIrp)
    NTOSKRNL(IoAllocateMdl) NTOSKRNL(IoFreeMdl) NTOSKRNL(MmBuildMdlForNonPagedPool)
    NTOSKRNL(IoAttachDeviceToDeviceStack) NTOSKRNL(IoDetachDevice)
    NTOSKRNL(IoBuildDeviceIoControlRequest) NTOSKRNL(IoCancelIrp)
    NTOSKRNL(IoCreateDevice) NTOSKRNL(IoDeleteDevice)
    NTOSKRNL(IoCreateSymbolicLink) NTOSKRNL(IoDeleteSymbolicLink)
    NTOSKRNL(IoGetAttachedDeviceReference) NTOSKRNL(IoGetConfigurationInformation)
    NTOSKRNL(IoOpenDeviceRegistryKey) NTOSKRNL(IoRegisterDeviceInterface)
    NTOSKRNL(IoSetDeviceInterfaceState) NTOSKRNL(IoWMIRegistrationControl)
    NTOSKRNL(IofCallDriver) NTOSKRNL(IofCompleteRequest)
    NTOSKRNL(ObfReferenceObject) NTOSKRNL(ObfDereferenceObject)
    // Kernel: spin locks, dispatcher objects, DPCs, timers, waits.
    NTOSKRNL(KeAcquireSpinLockRaiseToDpc) NTOSKRNL(KeReleaseSpinLock)
    NTOSKRNL(KeAcquireSpinLockAtDpcLevel) NTOSKRNL(KeReleaseSpinLockFromDpcLevel)
    NTOSKRNL(KeInitializeEvent) NTOSKRNL(KeSetEvent) NTOSKRNL(KeClearEvent)
    NTOSKRNL(KeResetEvent) NTOSKRNL(KeReadStateEvent)
    NTOSKRNL(KeInitializeDpc) NTOSKRNL(KeInsertQueueDpc) NTOSKRNL(KeRemoveQueueDpc)
    NTOSKRNL(KeSetImportanceDpc) NTOSKRNL(KeSetTargetProcessorDpc)
    NTOSKRNL(KeInitializeTimer) NTOSKRNL(KeInitializeTimerEx) NTOSKRNL(KeSetTimer)
    NTOSKRNL(KeSetTimerEx) NTOSKRNL(KeCancelTimer) NTOSKRNL(KeReadStateTimer)
    NTOSKRNL(KeWaitForSingleObject) NTOSKRNL(KeDelayExecutionThread)
    NTOSKRNL(KeQueryTimeIncrement)
    // Memory manager.
    NTOSKRNL(MmLockPagableDataSection) NTOSKRNL(MmLockPagableSectionByHandle)
    NTOSKRNL(MmUnlockPagableImageSection) NTOSKRNL(MmQuerySystemSize)
    // Power manager.
    NTOSKRNL(PoCallDriver) NTOSKRNL(PoRequestPowerIrp) NTOSKRNL(PoStartNextPowerIrp)
#if defined(__i386__)
    {"ntoskrnl.exe", "PoSetPowerState", reinterpret_cast<const void*>(&ImagePoSetPowerState), 12},
#else
    NTOSKRNL(PoSetPowerState)
#endif
    // Run-time library and registry.
    NTOSKRNL(RtlInitUnicodeString) NTOSKRNL(RtlInitAnsiString) NTOSKRNL(RtlCopyUnicodeString)
    NTOSKRNL(RtlAppendUnicodeStringToString) NTOSKRNL(RtlAppendUnicodeToString)
    NTOSKRNL(RtlCompareUnicodeString) NTOSKRNL(RtlEqualUnicodeString)
    NTOSKRNL(RtlAnsiStringToUnicodeString) NTOSKRNL(RtlUnicodeStringToAnsiString)
    NTOSKRNL(RtlFreeAnsiString) NTOSKRNL(RtlFreeUnicodeString)
    NTOSKRNL(RtlIntegerToUnicodeString) NTOSKRNL(RtlUnicodeStringToInteger)
    NTOSKRNL(RtlQueryRegistryValues) NTOSKRNL(RtlWriteRegistryValue) NTOSKRNL(RtlDeleteRegistryValue)
    NTOSKRNL(ZwOpenKey) NTOSKRNL(ZwClose) NTOSKRNL(ZwQueryValueKey) NTOSKRNL(ZwSetValueKey)
    {"ntoskrnl.exe", "memcpy", reinterpret_cast<const void*>(&KernelMemcpy), -1},
    {"ntoskrnl.exe", "memmove", reinterpret_cast<const void*>(&KernelMemmove), -1},
    {"ntoskrnl.exe", "memset", reinterpret_cast<const void*>(&KernelMemset), -1},
    {"ntoskrnl.exe", "memcmp", reinterpret_cast<const void*>(&KernelMemcmp), -1},
    {"ntoskrnl.exe", "strlen", reinterpret_cast<const void*>(&KernelStrlen), -1},
    // Hardware abstraction layer.
    HAL(KeStallExecutionProcessor) NTOSKRNL(KeStallExecutionProcessor)
#if defined(__i386__)
    // What the i386 DDK imports where the x64 one inlines, and the HAL's share
    // of the kernel's routines on i386.
    HAL(KeGetCurrentIrql) HAL(KfRaiseIrql) HAL(KfLowerIrql)
    HAL(KfAcquireSpinLock) HAL(KfReleaseSpinLock)
    HAL(ExAcquireFastMutex) HAL(ExReleaseFastMutex) HAL(ExTryToAcquireFastMutex)
    NTOSKRNL(KefAcquireSpinLockAtDpcLevel) NTOSKRNL(KefReleaseSpinLockFromDpcLevel)
    NTOSKRNL(KeQueryInterruptTime) NTOSKRNL(KeQuerySystemTime) NTOSKRNL(KeQueryTickCount)
#endif
    // USB driver library.
    USBD(USBD_CreateConfigurationRequest) USBD(USBD_CreateConfigurationRequestEx)
    USBD(USBD_ParseConfigurationDescriptorEx)
    // WMI library.
    WMILIB(WmiCompleteRequest) WMILIB(WmiSystemControl)
};

}  // namespace

const void* FindKernelExport(const std::string& module, const std::string& name, std::string* why) {
    // "_Name@bytes": a routine that pops its arguments, imported under the
    // name an i386 linker gives it. The byte count must be what the kernel's
    // routine pops, or every call would leave the image's stack off by the
    // difference.
    std::string plain = name;
    int bytes = -1;
    const size_t at = name.rfind('@');
    if (sizeof(void*) == 4 && name.size() > 2 && name[0] == '_' && at != std::string::npos && at > 1 &&
        at + 1 < name.size() && name.find_first_not_of("0123456789", at + 1) == std::string::npos) {
        plain = name.substr(1, at - 1);
        bytes = std::stoi(name.substr(at + 1));
    }
    for (const Export& e : kExports) {
        if (strcasecmp(e.module, module.c_str()) != 0 || plain != e.name) continue;
        if (bytes >= 0 && bytes != e.argumentBytes) {
            if (why) {
                *why = e.argumentBytes < 0 ? "the kernel's " + plain + " does not pop its arguments"
                                           : "the kernel's " + plain + " pops " + std::to_string(e.argumentBytes) +
                                                 " bytes of arguments";
            }
            return nullptr;
        }
        return e.address;
    }
    return nullptr;
}

}  // namespace sim
