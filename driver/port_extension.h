// The per-port device extension. One PortExtension lives in each port's device
// object, from add-device to removal. Fields are grouped by the code that owns
// them; everything not given an initial value at device creation starts at zero.
#pragma once

#include "platform/kernel.h"

// DeviceStateFlags: what admission does with new requests.
constexpr ULONG DEVICE_STATE_REMOVING = 0x01;
constexpr ULONG DEVICE_STATE_STOP_PENDING = 0x02;
constexpr ULONG DEVICE_STATE_SURPRISE_REMOVED = 0x08;

// ResourceFlags.
constexpr ULONG RESOURCE_HAS_STARTED = 0x01;
constexpr ULONG RESOURCE_WAS_STOPPED = 0x02;

// PnpState values (there is no state 5).
enum PnpStateValue : ULONG {
    NeverStarted = 0,
    Started = 1,
    StopPending = 2,
    Stopped = 3,
    RemovePending = 4,
    Restarting = 6,
};

// TxHoldReasons: why transmission is held.
constexpr ULONG TX_HOLD_CTS = 0x01;
constexpr ULONG TX_HOLD_DSR = 0x02;
constexpr ULONG TX_HOLD_DCD = 0x04;
constexpr ULONG TX_HOLD_XOFF = 0x08;
constexpr ULONG TX_HOLD_BREAK = 0x10;

// RxHoldReasons: why the sender is being held.
constexpr ULONG RX_HOLD_DTR = 0x01;
constexpr ULONG RX_HOLD_XOFF = 0x02;
constexpr ULONG RX_HOLD_RTS = 0x04;
constexpr ULONG RX_HOLD_DSR = 0x08;

// The port's deferred procedure calls. Each is armed only through the deferred
// work accounting (QueueDeferred, SetDeferredTimer) so that close and removal can
// wait until none of them can still run.
struct PortDpcs {
    KDPC WriteComplete;
    KDPC ReadComplete;
    KDPC ReadTotalTimeout;
    KDPC ReadInterval;
    KDPC WriteTimeout;
    KDPC ErrorAbort;
    KDPC ImmediateDone;
    KDPC ImmediateTimeout;
    KDPC WaitComplete;
    KDPC XoffCounterTimeout;
    KDPC XoffCounterDone;
    KDPC TransmitToggle;
    KDPC TransmitToggleTimer;
    KDPC DeferredDrain;
};

struct PortExtension {
    // --- Names and the device stack --------------------------------------------
    PDEVICE_OBJECT DeviceObject;
    PDEVICE_OBJECT PhysicalDevice;
    PDEVICE_OBJECT LowerDevice;
    UNICODE_STRING DeviceName;
    UNICODE_STRING SymbolicLinkName;
    UNICODE_STRING PortNameValue;
    UNICODE_STRING WmiPortName;
    UNICODE_STRING InterfaceLinkName;
    UCHAR LinkCreated;
    UCHAR SerialCommWritten;
    ULONG SkipExternalNaming;

    // --- Plug and Play and power state ----------------------------------------
    ULONG PnpState;
    ULONG DeviceStateFlags;
    ULONG ResourceFlags;
    FAST_MUTEX OpenStateMutex;
    KEVENT LowerCompletionEvent;
    ULONG PowerStateMap[PowerSystemMaximum];
    ULONG SystemWake;
    ULONG DeviceWake;
    DEVICE_POWER_STATE DevicePowerState;

    // --- Port settings the device controls keep --------------------------------
    UCHAR DeviceIsOpen;
    ULONG CurrentBaud;
    ULONG SettableBaud;
    UCHAR LineControl;
    UCHAR ValidDataMask;
    SERIAL_LINE_CONTROL LastLineControlRequest;
    SERIAL_TIMEOUTS Timeouts;
    SERIAL_CHARS SpecialChars;
    SERIAL_HANDFLOW HandFlow;
    UCHAR EscapeChar;
    ULONG WaitMask;
    ULONG EventHistory;
    ULONG TxHoldReasons;
    ULONG RxHoldReasons;
    ULONG ErrorFlags;
    ULONG TotalCharsQueued;
    USHORT ControlLineState;
    SERIALPERF_STATS PerfStats;
    SERIALPERF_STATS WmiPerfStats;
    UCHAR RxFifoSetting;
    ULONG TxFifoSetting;
    KSPIN_LOCK ControlLock;

    // --- Request admission and deferred work ------------------------------------
    volatile LONG PendingRequestCount;
    KEVENT PendingRequestsDone;
    volatile LONG DeferredWorkCount;
    KEVENT DeferredWorkDone;
    LIST_ENTRY StalledQueue;
    KSPIN_LOCK DeviceStateLock;
    PortDpcs Dpc;
    KTIMER ReadTotalTimer;
    KTIMER ReadIntervalTimer;
    KTIMER WriteTotalTimer;
    KTIMER ImmediateTimer;
    KTIMER XoffCounterTimer;
    KTIMER TransmitToggleTimer;

    // --- Receive ring and fill area -------------------------------------------
    ULONG ReceiveBufferSize;
    volatile ULONG CharsInBuffer;
    KSPIN_LOCK FillLock;

    // --- Write state --------------------------------------------------------------
    ULONG WriteRemaining;
    UCHAR TransmittingImmediate;

    // --- Request queues and current-request slots -------------------------------
    LIST_ENTRY ReadQueue;
    LIST_ENTRY WriteQueue;
    LIST_ENTRY MaskQueue;
    LIST_ENTRY PurgeQueue;
    PIRP CurrentRead;
    PIRP CurrentWrite;
    PIRP CurrentMaskRequest;
    PIRP CurrentWait;
    PIRP CurrentPurge;
    PIRP CurrentImmediate;
    PIRP CurrentXoffCounter;

    // --- Chip type and register shadows -----------------------------------------
    LONG ChipType;
    UCHAR ChipRegisterShadow[16];

    // --- Status word --------------------------------------------------------------
    USHORT ModemStatusWord;
};

static inline PortExtension* PortOf(PDEVICE_OBJECT device) {
    return static_cast<PortExtension*>(device->DeviceExtension);
}
