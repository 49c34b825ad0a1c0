// What the simulated kernel exports to driver images, module by module: the
// routines a driver built against the DDK imports by name. Routines the DDK
// makes inline on x64 (the IRQL accessors, KeInitializeSpinLock,
// IoSetCancelRoutine, the time queries that read the shared data page) are
// not exported by Windows and are not here either.
#include <sim/image_loader.h>

#include <cstring>
#include <cwchar>
#include <string>
#include <strings.h>

#include <simnt/wdm.h>
#include <simnt/ntddser.h>
#include <simnt/usb.h>
#include <simnt/usbdlib.h>
#include <simnt/wmilib.h>

namespace sim {
namespace {

// The C runtime routines the kernel exports, called with the kernel's convention.
__attribute__((ms_abi)) void* KernelMemcpy(void* to, const void* from, size_t n) {
    return std::memcpy(to, from, n);
}
__attribute__((ms_abi)) void* KernelMemmove(void* to, const void* from, size_t n) {
    return std::memmove(to, from, n);
}
__attribute__((ms_abi)) void* KernelMemset(void* to, int value, size_t n) {
    return std::memset(to, value, n);
}
__attribute__((ms_abi)) int KernelMemcmp(const void* a, const void* b, size_t n) {
    return std::memcmp(a, b, n);
}
__attribute__((ms_abi)) size_t KernelStrlen(const char* text) { return std::strlen(text); }

struct Export {
    const char* module;
    const char* name;
    const void* address;
};

#define NTOSKRNL(name) {"ntoskrnl.exe", #name, reinterpret_cast<const void*>(&name)},
#define HAL(name) {"hal.dll", #name, reinterpret_cast<const void*>(&name)},
#define USBD(name) {"usbd.sys", #name, reinterpret_cast<const void*>(&name)},
#define WMILIB(name) {"wmilib.sys", #name, reinterpret_cast<const void*>(&name)},

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
    NTOSKRNL(PoCallDriver) NTOSKRNL(PoRequestPowerIrp) NTOSKRNL(PoSetPowerState)
    NTOSKRNL(PoStartNextPowerIrp)
    // Run-time library and registry.
    NTOSKRNL(RtlInitUnicodeString) NTOSKRNL(RtlInitAnsiString) NTOSKRNL(RtlCopyUnicodeString)
    NTOSKRNL(RtlAppendUnicodeStringToString) NTOSKRNL(RtlAppendUnicodeToString)
    NTOSKRNL(RtlCompareUnicodeString) NTOSKRNL(RtlEqualUnicodeString)
    NTOSKRNL(RtlAnsiStringToUnicodeString) NTOSKRNL(RtlUnicodeStringToAnsiString)
    NTOSKRNL(RtlFreeAnsiString) NTOSKRNL(RtlFreeUnicodeString)
    NTOSKRNL(RtlIntegerToUnicodeString) NTOSKRNL(RtlUnicodeStringToInteger)
    NTOSKRNL(RtlQueryRegistryValues) NTOSKRNL(RtlWriteRegistryValue) NTOSKRNL(RtlDeleteRegistryValue)
    NTOSKRNL(ZwOpenKey) NTOSKRNL(ZwClose) NTOSKRNL(ZwQueryValueKey) NTOSKRNL(ZwSetValueKey)
    {"ntoskrnl.exe", "memcpy", reinterpret_cast<const void*>(&KernelMemcpy)},
    {"ntoskrnl.exe", "memmove", reinterpret_cast<const void*>(&KernelMemmove)},
    {"ntoskrnl.exe", "memset", reinterpret_cast<const void*>(&KernelMemset)},
    {"ntoskrnl.exe", "memcmp", reinterpret_cast<const void*>(&KernelMemcmp)},
    {"ntoskrnl.exe", "strlen", reinterpret_cast<const void*>(&KernelStrlen)},
    // Hardware abstraction layer.
    HAL(KeStallExecutionProcessor) NTOSKRNL(KeStallExecutionProcessor)
    // USB driver library.
    USBD(USBD_CreateConfigurationRequest) USBD(USBD_CreateConfigurationRequestEx)
    USBD(USBD_ParseConfigurationDescriptorEx)
    // WMI library.
    WMILIB(WmiCompleteRequest) WMILIB(WmiSystemControl)
};

}  // namespace

const void* FindKernelExport(const std::string& module, const std::string& name) {
    for (const Export& e : kExports) {
        if (strcasecmp(e.module, module.c_str()) == 0 && name == e.name) return e.address;
    }
    return nullptr;
}

}  // namespace sim
