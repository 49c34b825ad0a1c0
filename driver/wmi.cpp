// WMI: the five read-only serial-port blocks the port publishes through the WMI
// library — its name, communication settings, hardware configuration, performance
// counters and properties, one instance each — the records behind them, and the
// registration that makes the port a WMI provider.
#include "driver/driver.h"

#include "control/control.h"

// The published block layouts, in every build.
static_assert(sizeof(SERIAL_WMI_COMM_DATA) == 64, "MSSerial_CommInfo layout");
static_assert(FIELD_OFFSET(SERIAL_WMI_COMM_DATA, ParityCheckEnable) == 12,
              "MSSerial_CommInfo layout");
static_assert(FIELD_OFFSET(SERIAL_WMI_COMM_DATA, StopBits) == 16, "MSSerial_CommInfo layout");
static_assert(FIELD_OFFSET(SERIAL_WMI_COMM_DATA, XonXmitThreshold) == 32,
              "MSSerial_CommInfo layout");
static_assert(FIELD_OFFSET(SERIAL_WMI_COMM_DATA, MaximumInputBufferSize) == 44,
              "MSSerial_CommInfo layout");
static_assert(FIELD_OFFSET(SERIAL_WMI_COMM_DATA, Support16BitMode) == 48,
              "MSSerial_CommInfo layout");
static_assert(FIELD_OFFSET(SERIAL_WMI_COMM_DATA, SettableStopBits) == 59,
              "MSSerial_CommInfo layout");
static_assert(FIELD_OFFSET(SERIAL_WMI_COMM_DATA, IsBusy) == 60, "MSSerial_CommInfo layout");
static_assert(sizeof(SERIAL_WMI_HW_DATA) == 40, "MSSerial_HardwareConfiguration layout");
static_assert(FIELD_OFFSET(SERIAL_WMI_HW_DATA, IrqAffinityMask) == 16,
              "MSSerial_HardwareConfiguration layout");
static_assert(FIELD_OFFSET(SERIAL_WMI_HW_DATA, InterruptType) == 24,
              "MSSerial_HardwareConfiguration layout");
static_assert(FIELD_OFFSET(SERIAL_WMI_HW_DATA, BaseIOAddress) == 32,
              "MSSerial_HardwareConfiguration layout");
static_assert(sizeof(SERIAL_WMI_PERF_DATA) == 24, "MSSerial_PerformanceInformation layout");
static_assert(FIELD_OFFSET(SERIAL_WMI_PERF_DATA, ParityErrorCount) == 20,
              "MSSerial_PerformanceInformation layout");
static_assert(sizeof(SERIAL_WMI_COMMPROP) == 68, "MSSerial_CommProperties layout");
static_assert(FIELD_OFFSET(SERIAL_WMI_COMMPROP, dwMaxBaud) == 20, "MSSerial_CommProperties layout");
static_assert(FIELD_OFFSET(SERIAL_WMI_COMMPROP, wSettableData) == 40,
              "MSSerial_CommProperties layout");
static_assert(FIELD_OFFSET(SERIAL_WMI_COMMPROP, dwCurrentRxQueue) == 48,
              "MSSerial_CommProperties layout");
static_assert(FIELD_OFFSET(SERIAL_WMI_COMMPROP, dwProvCharSize) == 60,
              "MSSerial_CommProperties layout");
static_assert(FIELD_OFFSET(SERIAL_WMI_COMMPROP, wcProvChar) == 64,
              "MSSerial_CommProperties layout");

namespace {

// --- The blocks ----------------------------------------------------------------------------

// One instance of each block; instance names come from the PDO.
constexpr WMIGUIDREGINFO kWmiGuidTable[] = {
    {&MSSerial_PortName_GUID, 1, 0},
    {&MSSerial_CommInfo_GUID, 1, 0},
    {&MSSerial_HardwareConfiguration_GUID, 1, 0},
    {&MSSerial_PerformanceInformation_GUID, 1, 0},
    {&MSSerial_CommProperties_GUID, 1, 0},
};
constexpr ULONG kWmiBlockCount = sizeof(kWmiGuidTable) / sizeof(kWmiGuidTable[0]);

ULONG PortNameSize(const PortExtension* port) {
    return port->WmiPortName.Length + sizeof(USHORT);
}

NTSTATUS WritePortName(const PortExtension* port, PUCHAR buffer) {
    // No external names were made: there is no name to publish.
    if (!port->WmiPortName.Buffer)
        return STATUS_INSUFFICIENT_RESOURCES;
    const USHORT length = port->WmiPortName.Length;
    RtlCopyMemory(buffer, &length, sizeof(length));
    RtlCopyMemory(buffer + sizeof(length), port->WmiPortName.Buffer, length);
    return STATUS_SUCCESS;
}

ULONG CommInfoSize(const PortExtension*) {
    return sizeof(SERIAL_WMI_COMM_DATA);
}

NTSTATUS WriteCommInfo(const PortExtension* port, PUCHAR buffer) {
    RtlCopyMemory(buffer, &port->WmiCommInfo, sizeof(SERIAL_WMI_COMM_DATA));
    return STATUS_SUCCESS;
}

ULONG HardwareConfigSize(const PortExtension*) {
    return sizeof(SERIAL_WMI_HW_DATA);
}

NTSTATUS WriteHardwareConfig(const PortExtension* port, PUCHAR buffer) {
    RtlCopyMemory(buffer, &port->WmiHardwareConfig, sizeof(SERIAL_WMI_HW_DATA));
    return STATUS_SUCCESS;
}

ULONG PerformanceSize(const PortExtension*) {
    return sizeof(SERIAL_WMI_PERF_DATA);
}

// The data paths keep counting while the copy is made; a count may be a moment old.
NTSTATUS WritePerformance(const PortExtension* port, PUCHAR buffer) {
    const SERIALPERF_STATS& stats = port->WmiPerfStats;
    SERIAL_WMI_PERF_DATA block;
    block.ReceivedCount = stats.ReceivedCount;
    block.TransmittedCount = stats.TransmittedCount;
    block.FrameErrorCount = stats.FrameErrorCount;
    block.SerialOverrunErrorCount = stats.SerialOverrunErrorCount;
    block.BufferOverrunErrorCount = stats.BufferOverrunErrorCount;
    block.ParityErrorCount = stats.ParityErrorCount;
    RtlCopyMemory(buffer, &block, sizeof(block));
    return STATUS_SUCCESS;
}

ULONG CommPropertiesSize(const PortExtension*) {
    return sizeof(SERIAL_WMI_COMMPROP);
}

// The same properties GET_PROPERTIES reports, made at query time so that the
// receive-queue size is the current one.
NTSTATUS WriteCommProperties(const PortExtension* port, PUCHAR buffer) {
    SERIAL_COMMPROP properties;
    FillCommProperties(port, &properties);
    SERIAL_WMI_COMMPROP block;
    RtlZeroMemory(&block, sizeof(block));
    block.wPacketLength = properties.PacketLength;
    block.wPacketVersion = properties.PacketVersion;
    block.dwServiceMask = properties.ServiceMask;
    block.dwReserved1 = properties.Reserved1;
    block.dwMaxTxQueue = properties.MaxTxQueue;
    block.dwMaxRxQueue = properties.MaxRxQueue;
    block.dwMaxBaud = properties.MaxBaud;
    block.dwProvSubType = properties.ProvSubType;
    block.dwProvCapabilities = properties.ProvCapabilities;
    block.dwSettableParams = properties.SettableParams;
    block.dwSettableBaud = properties.SettableBaud;
    block.wSettableData = properties.SettableData;
    block.wSettableStopParity = properties.SettableStopParity;
    block.dwCurrentTxQueue = properties.CurrentTxQueue;
    block.dwCurrentRxQueue = properties.CurrentRxQueue;
    block.dwProvSpec1 = properties.ProvSpec1;
    block.dwProvSpec2 = properties.ProvSpec2;
    RtlCopyMemory(buffer, &block, sizeof(block));
    return STATUS_SUCCESS;
}

// How each block, in GUID-table order, is sized and written. The buffer check
// comes before any write, so a writer always has room for its block.
struct WmiBlockWriter {
    ULONG (*Size)(const PortExtension* port);
    NTSTATUS (*Write)(const PortExtension* port, PUCHAR buffer);
};
constexpr WmiBlockWriter kWmiBlockWriters[] = {
    {PortNameSize, WritePortName},
    {CommInfoSize, WriteCommInfo},
    {HardwareConfigSize, WriteHardwareConfig},
    {PerformanceSize, WritePerformance},
    {CommPropertiesSize, WriteCommProperties},
};
static_assert(sizeof(kWmiBlockWriters) / sizeof(kWmiBlockWriters[0]) == kWmiBlockCount,
              "one writer per registered block");

// --- The records behind them ---------------------------------------------------------------

// LineControl keeps the 16550 line-control layout.
constexpr UCHAR kWordLengthBits = 0x03;
constexpr UCHAR kExtraStopBit = 0x04;
constexpr UCHAR kParityEnable = 0x08;
constexpr UCHAR kParityShift = 3;
constexpr UCHAR kParityBits = 0x38;

// Parity field of LineControl (bits 3-5) in the class's coding, which numbers
// space 3 and mark 4.
constexpr ULONG kWmiParityOfLineControl[8] = {SERIAL_WMI_PARITY_NONE, SERIAL_WMI_PARITY_ODD,
                                              SERIAL_WMI_PARITY_NONE, SERIAL_WMI_PARITY_EVEN,
                                              SERIAL_WMI_PARITY_NONE, SERIAL_WMI_PARITY_MARK,
                                              SERIAL_WMI_PARITY_NONE, SERIAL_WMI_PARITY_SPACE};

// The rates the SettableBaud bits name, highest first.
struct NamedRate {
    ULONG Bit;
    ULONG Baud;
};
constexpr NamedRate kSettableRates[] = {
    {SERIAL_BAUD_128K, 128000}, {SERIAL_BAUD_115200, 115200}, {SERIAL_BAUD_57600, 57600},
    {SERIAL_BAUD_56K, 56000},   {SERIAL_BAUD_38400, 38400},   {SERIAL_BAUD_19200, 19200},
    {SERIAL_BAUD_14400, 14400}, {SERIAL_BAUD_9600, 9600},     {SERIAL_BAUD_7200, 7200},
    {SERIAL_BAUD_4800, 4800},   {SERIAL_BAUD_2400, 2400},     {SERIAL_BAUD_1800, 1800},
    {SERIAL_BAUD_1200, 1200},   {SERIAL_BAUD_600, 600},       {SERIAL_BAUD_300, 300},
    {SERIAL_BAUD_150, 150},     {SERIAL_BAUD_134_5, 134},     {SERIAL_BAUD_110, 110},
    {SERIAL_BAUD_075, 75},
};

ULONG HighestSettableRate(ULONG settableBaud) {
    for (const NamedRate& rate : kSettableRates) {
        if (settableBaud & rate.Bit)
            return rate.Baud;
    }
    return 0;  // not reached for this port: its settable rates always include 75 baud and up
}

// The port has no interrupt; this is the interrupt type it has always published.
// In the class's own coding 1 reads "level" (SERIAL_WMI_INTTYPE_LATCHED is 0).
constexpr ULONG kPublishedInterruptType = 1;

// --- The library's callbacks ---------------------------------------------------------------

NTSTATUS NTAPI WmiQueryRegInfo(PDEVICE_OBJECT device, PULONG regFlags, PUNICODE_STRING,
                               PUNICODE_STRING* registryPath, PUNICODE_STRING,
                               PDEVICE_OBJECT* pdo) {
    // Instance names made from the PDO are unique and survive a restart.
    *regFlags = WMIREG_FLAG_INSTANCE_PDO;
    *registryPath = &DriverRegistryPath;
    *pdo = PortOf(device)->PhysicalDevice;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI WmiQueryDataBlock(PDEVICE_OBJECT device, PIRP irp, ULONG guidIndex,
                                 ULONG instanceIndex, ULONG instanceCount,
                                 PULONG instanceLengthArray, ULONG bufferAvail, PUCHAR buffer) {
    const PortExtension* port = PortOf(device);
    if (guidIndex >= kWmiBlockCount)
        return WmiCompleteRequest(device, irp, STATUS_WMI_GUID_NOT_FOUND, 0, IO_NO_INCREMENT);
    // Each block has exactly one instance; the library leaves checking that to us.
    if (instanceIndex != 0 || instanceCount != 1)
        return WmiCompleteRequest(device, irp, STATUS_WMI_INSTANCE_NOT_FOUND, 0, IO_NO_INCREMENT);
    const WmiBlockWriter& writer = kWmiBlockWriters[guidIndex];
    const ULONG size = writer.Size(port);
    // With too little room the library may pass no buffer and no length array.
    if (bufferAvail < size)
        return WmiCompleteRequest(device, irp, STATUS_BUFFER_TOO_SMALL, size, IO_NO_INCREMENT);
    const NTSTATUS status = writer.Write(port, buffer);
    if (!NT_SUCCESS(status))
        return WmiCompleteRequest(device, irp, status, 0, IO_NO_INCREMENT);
    instanceLengthArray[0] = size;
    return WmiCompleteRequest(device, irp, STATUS_SUCCESS, size, IO_NO_INCREMENT);
}

// Every block is read-only: a set on one of ours is refused, on any other block
// it names a block we do not have.
NTSTATUS WmiSetData(PDEVICE_OBJECT device, PIRP irp, ULONG guidIndex) {
    const NTSTATUS status =
        guidIndex < kWmiBlockCount ? STATUS_INVALID_DEVICE_REQUEST : STATUS_WMI_GUID_NOT_FOUND;
    return WmiCompleteRequest(device, irp, status, 0, IO_NO_INCREMENT);
}

// The two set callbacks differ in their parameters; each needs an entry point of
// its own type (on i386 the callee pops its arguments, so a shared one would
// unbalance the caller's stack).
NTSTATUS NTAPI WmiSetDataBlock(PDEVICE_OBJECT device, PIRP irp, ULONG guidIndex, ULONG, ULONG,
                               PUCHAR) {
    return WmiSetData(device, irp, guidIndex);
}

NTSTATUS NTAPI WmiSetDataItem(PDEVICE_OBJECT device, PIRP irp, ULONG guidIndex, ULONG, ULONG, ULONG,
                              PUCHAR) {
    return WmiSetData(device, irp, guidIndex);
}

}  // namespace

// Runs under ControlLock (SET_LINE_CONTROL), so it stays resident.
void WriteWmiLineControl(PortExtension* port) {
    SERIAL_WMI_COMM_DATA& info = port->WmiCommInfo;
    const UCHAR lineControl = port->LineControl;
    const UCHAR wordLength = lineControl & kWordLengthBits;
    info.BitsPerByte = wordLength + 5;
    info.Parity = kWmiParityOfLineControl[(lineControl & kParityBits) >> kParityShift];
    info.ParityCheckEnable = (lineControl & kParityEnable) ? TRUE : FALSE;
    // The one extra-stop-bit flag means one and a half with 5 data bits.
    if (!(lineControl & kExtraStopBit)) {
        info.StopBits = SERIAL_WMI_STOP_1;
    } else {
        info.StopBits = wordLength == 0 ? SERIAL_WMI_STOP_1_5 : SERIAL_WMI_STOP_2;
    }
}

START_CODE void InitializeWmiRecords(PortExtension* port) {
    PAGED_CODE();
    SERIAL_WMI_COMM_DATA& info = port->WmiCommInfo;
    RtlZeroMemory(&info, sizeof(info));
    info.BaudRate = port->CurrentBaud;
    WriteWmiLineControl(port);
    info.XoffCharacter = port->SpecialChars.XoffChar;
    info.XoffXmitThreshold = static_cast<ULONG>(port->HandFlow.XoffLimit);
    info.XonCharacter = port->SpecialChars.XonChar;
    info.XonXmitThreshold = static_cast<ULONG>(port->HandFlow.XonLimit);
    info.MaximumBaudRate = HighestSettableRate(port->SettableBaud);
    // Reads and writes go straight to and from the callers' buffers: no limit.
    info.MaximumOutputBufferSize = MAXULONG;
    info.MaximumInputBufferSize = MAXULONG;
    info.Support16BitMode = FALSE;
    info.SupportDTRDSR = TRUE;
    info.SupportIntervalTimeouts = TRUE;
    info.SupportParityCheck = TRUE;
    info.SupportRTSCTS = TRUE;
    info.SupportXonXoff = TRUE;
    info.SettableBaudRate = TRUE;
    info.SettableDataBits = TRUE;
    info.SettableFlowControl = TRUE;
    info.SettableParity = TRUE;
    info.SettableParityCheck = TRUE;
    info.SettableStopBits = TRUE;
    info.IsBusy = FALSE;

    RtlZeroMemory(&port->WmiHardwareConfig, sizeof(port->WmiHardwareConfig));
    port->WmiHardwareConfig.InterruptType = kPublishedInterruptType;

    RtlZeroMemory(&port->WmiPerfStats, sizeof(port->WmiPerfStats));
}

START_CODE void RegisterWithWmi(PortExtension* port) {
    PAGED_CODE();
    WMILIB_CONTEXT& lib = port->WmiLibInfo;
    lib.GuidCount = kWmiBlockCount;
    // The library only reads the table, which stays in read-only memory.
    lib.GuidList = const_cast<PWMIGUIDREGINFO>(kWmiGuidTable);
    lib.QueryWmiRegInfo = WmiQueryRegInfo;
    lib.QueryWmiDataBlock = WmiQueryDataBlock;
    lib.SetWmiDataBlock = WmiSetDataBlock;
    lib.SetWmiDataItem = WmiSetDataItem;
    lib.ExecuteWmiMethod = nullptr;
    lib.WmiFunctionControl = nullptr;
    // WMI asks for the registration information before this returns: the
    // context must be complete first.
    IoWMIRegistrationControl(port->DeviceObject, WMIREG_ACTION_REGISTER);
}

// WMI requests are not admitted or counted: they arrive in WMI's own threads,
// the records they read live as long as the device object, and deregistration
// waits for those under way.
NTSTATUS NTAPI WmiDispatch(PDEVICE_OBJECT device, PIRP irp) {
    PortExtension* port = PortOf(device);
    // Not registered yet: the library would have no registration callback to call.
    if (port->WmiLibInfo.GuidCount == 0) {
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(port->LowerDevice, irp);
    }
    SYSCTL_IRP_DISPOSITION disposition;
    const NTSTATUS status = WmiSystemControl(&port->WmiLibInfo, device, irp, &disposition);
    switch (disposition) {
        case IrpProcessed:
            return status;
        case IrpNotCompleted:
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return status;
        case IrpNotWmi:
        case IrpForward:
        default:
            IoSkipCurrentIrpStackLocation(irp);
            return IoCallDriver(port->LowerDevice, irp);
    }
}
