// Driver entry and unload: the little state shared by every port of the driver.
#include "driver/driver.h"

#include "control/control.h"
#include "datapath/datapath.h"

UNICODE_STRING DriverRegistryPath;
PVOID PagingLockHandle;
ULONG NextDeviceNumber;
ExtBaudrateEntry ExtBaudrateList[kMaxExtBaudrates];
LONG ExtBaudrateCount;

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
    // A loader gives every load fresh globals; say so explicitly for the ones that
    // do not start at zero, so a reload in the same address space behaves alike.
    NextDeviceNumber = 2;
    ExtBaudrateCount = 0;
    DriverRegistryPath.Buffer = nullptr;

    // Any routine of the start section names it; StartPort runs only there.
    PagingLockHandle = MmLockPagableCodeSection(reinterpret_cast<PVOID>(StartPort));

    auto* copy = static_cast<PWSTR>(
        ExAllocatePoolWithTag(PagedPool, registryPath->MaximumLength, VODREK_POOL_TAG));
    if (!copy) {
        MmUnlockPagableImageSection(PagingLockHandle);
        return STATUS_NO_MEMORY;
    }
    RtlZeroMemory(copy, registryPath->MaximumLength);
    RtlCopyMemory(copy, registryPath->Buffer, registryPath->Length);
    DriverRegistryPath.Buffer = copy;
    DriverRegistryPath.Length = registryPath->Length;
    DriverRegistryPath.MaximumLength = registryPath->MaximumLength;

    DbgPrint("TARNIX.SYS:\t<Build: %s - %s>\n", __DATE__, __TIME__);

    driverObject->DriverUnload = DriverUnload;
    driverObject->DriverExtension->AddDevice = AddDevice;
    driverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
    driverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
    driverObject->MajorFunction[IRP_MJ_READ] = DispatchRead;
    driverObject->MajorFunction[IRP_MJ_WRITE] = DispatchWrite;
    driverObject->MajorFunction[IRP_MJ_QUERY_INFORMATION] = DispatchQueryInformation;
    driverObject->MajorFunction[IRP_MJ_SET_INFORMATION] = DispatchSetInformation;
    driverObject->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = DispatchFlush;
    driverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    driverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternalDeviceControl;
    driverObject->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
    driverObject->MajorFunction[IRP_MJ_POWER] = PowerDispatch;
    driverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = WmiDispatch;
    driverObject->MajorFunction[IRP_MJ_PNP] = PnpDispatch;

    MmUnlockPagableImageSection(PagingLockHandle);

    // The extra rates are optional: whatever reading them answers, the driver loads.
    ReadExtBaudrateList(&DriverRegistryPath);
    return STATUS_SUCCESS;
}

VOID NTAPI DriverUnload(PDRIVER_OBJECT) {
    if (DriverRegistryPath.Buffer) {
        ExFreePoolWithTag(DriverRegistryPath.Buffer, VODREK_POOL_TAG);
        DriverRegistryPath.Buffer = nullptr;
    }
}
