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
    KDPC TransmitEmpty;
};

// Where one of the port's timers stands in the deferred-work accounting
// (datapath/deferred_work.cpp). The hold a timer takes when it is armed passes to
// its DPC when it fires and comes back when that DPC has run; while the DPC is
// still to run, the timer is not armed again (the kernel would fold the second
// expiry into the queued DPC, and one run would have to return two holds): a
// re-arm asked for meanwhile is kept here and done by the DPC as it finishes.
enum DeferredTimerPhase : UCHAR {
    TimerIdle = 0,   // not armed, no DPC of it to run: holds nothing
    TimerArmed = 1,  // armed: holds one
    TimerFired = 2,  // fired, its DPC queued or running: the DPC holds one
};
struct DeferredTimerState {
    UCHAR Phase;
    UCHAR ReArm;  // TimerFired only: arm again with ReArmDue when the DPC is done
    LARGE_INTEGER ReArmDue;
};
constexpr int kPortTimerCount = 7;

// The line coding as it travels in SET_LINE_CODING's data stage.
#pragma pack(push, 1)
struct LineCodingRecord {
    ULONG Rate;       // plain baud, or a chip rate code with bit 31 set
    UCHAR StopBits;   // 0 one, 1 one and a half, 2 two
    UCHAR Parity;     // 0 none, 1 odd, 2 even, 3 mark, 4 space
    UCHAR DataBits;   // 5 to 8
};
#pragma pack(pop)
static_assert(sizeof(LineCodingRecord) == 7, "SET_LINE_CODING carries seven bytes");

// One bulk or interrupt transfer in flight (usb/urb_submit.cpp).
struct TransferContext;

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
    // A system set-power that waits while the device request it caused is
    // carried out; sent on by that request's callback.
    PIRP volatile PendingSystemPowerIrp;
    // Signalled by that callback, so that a wake restores the settings only
    // once the device is back in D0.
    KEVENT SystemPowerDeviceDone;
    // Wake-up armed by the internal controls (or the wait-wake request held for
    // the port): while either is set, the device may not be taken deeper than
    // DeviceWake.
    UCHAR WakeEnabled;
    // The port's own wait-wake request while it is on its way down or pending
    // on the bus. Whoever takes it out with an interlocked exchange (the
    // request's completion, or a canceller) owns the hand-off; WaitWakeCancelFlag
    // decides which of the two lets the completion go on (see power.cpp).
    PIRP volatile WaitWakeIrp;
    LONG WaitWakeCancelFlag;
    // 1 from the moment the port asks for a wait-wake request until that
    // request's callback is done with the port; WaitWakeEnded is signalled
    // then, so removal never deletes the port under the callback.
    LONG WaitWakeOutstanding;
    LONG WaitWakeArming;
    NTSTATUS WaitWakeStatus;
    KEVENT WaitWakeEnded;

    // --- WMI records ------------------------------------------------------------------
    // The WMI library context, filled at the first start just before the port
    // registers with WMI; zero until then.
    WMILIB_CONTEXT WmiLibInfo;
    // MSSerial_CommInfo as published, written at every start. Whatever changes a
    // setting it shows writes its field too: SetBaudRate the rate, SET_LINE_CONTROL
    // the framing (in the class's coding: parity space 3, mark 4), SET_CHARS the
    // XON/XOFF characters, open and SET_QUEUE_SIZE the thresholds, open and close
    // IsBusy.
    SERIAL_WMI_COMM_DATA WmiCommInfo;
    // MSSerial_HardwareConfiguration: a USB port has no interrupt or I/O resources.
    SERIAL_WMI_HW_DATA WmiHardwareConfig;

    // --- Port settings the device controls keep --------------------------------
    // Set while the port is open and the receive path may store; cleared, with the
    // ring, under ControlLock and FillLock.
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
    KTIMER TransmitEmptyTimer;
    // The six timers above, in the order of the port's DPC table.
    DeferredTimerState TimerStates[kPortTimerCount];
    // Innermost of all the port's locks: held only inside the deferred-work
    // operations, around a timer's phase and the timer calls that go with it.
    KSPIN_LOCK DeferredTimerLock;

    // --- Receive ring and fill area -------------------------------------------
    // The ring and the area the receive path stores into: the ring itself
    // (FillAreaStart == ReceiveBuffer), or the buffer of the read waiting for
    // bytes. All of it under ControlLock; the fill area also under FillLock.
    PUCHAR ReceiveBuffer;
    ULONG ReceiveBufferSize;
    volatile ULONG CharsInBuffer;
    PUCHAR FirstReadable;
    PUCHAR FillAreaStart;
    PUCHAR FillPosition;
    PUCHAR FillAreaLast;
    ULONG NearlyFullMark;
    LONGLONG ShortPollDelay;  // relative 100-ns times of the read path's polls
    LONGLONG LongPollDelay;
    LONGLONG PollCutover;
    KSPIN_LOCK FillLock;

    // --- The current read --------------------------------------------------------
    ULONG ReadCharsNeeded;
    // Bytes the last interval check saw arrive (only zero or not matters), or
    // which party ended the read first: ReadCancelled, ReadTotalTimedOut,
    // ReadFilled. The first party's mark stays.
    LONG ReadProgress;
    // Bytes the receive path stored into the read since the last interval check.
    volatile ULONG CharsSinceIntervalCheck;
    LONGLONG ReadIntervalTime;
    // Interrupt time (monotonic) when the read was armed or the interval check
    // last saw bytes arrive.
    ULONGLONG LastCharTime;
    const LONGLONG* ChosenPollDelay;

    // --- Reception, events and receive flow control -------------------------------
    USHORT PreviousModemStatusWord;
    UCHAR XoffReceived;
    // Where the event mask goes when the waiting WAIT_ON_MASK completes; null when
    // none waits. Claimed with one interlocked exchange.
    PULONG volatile WaitResultLocation;
    volatile LONG WaitCheckBusy;
    // XON and XOFF the driver itself sent to hold the far end, so that the XON
    // follows every XOFF of ours whatever the chip type.
    UCHAR XoffSentByDriver;
    volatile LONG PendingToggleChecks;
    UCHAR TransmitterEmpty;
    // Interrupt time by which the chip will have sent what the last bulk-out
    // transfer gave it, at the line's character time.
    ULONGLONG TransmitEndsAt;
    // Characters the counting XOFF_COUNTER still waits for; 0 when none counts.
    volatile LONG XoffCountRemaining;

    // --- Write state --------------------------------------------------------------
    // Bytes of the current write (or the XOFF_COUNTER's one character) not yet
    // confirmed sent, and where the next chunk starts. Changed under the cancel
    // spin lock.
    ULONG WriteRemaining;
    PUCHAR WriteCursor;
    // Length of the current write's chunk on the pipe, 0 when none; its serial
    // is ChunkSerial, so only that chunk's completion advances the write.
    ULONG ChunkInFlight;
    ULONG ChunkSerial;
    // Which party ended the current write first (STATUS_CANCELLED or
    // STATUS_TIMEOUT), 0 while none has.
    NTSTATUS WriteEndStatus;
    // The chip confirmed every byte of the current write.
    UCHAR WriteConfirmed;
    // Immediate characters on the pipe (not 0: one is being sent).
    volatile LONG TransmittingImmediate;
    UCHAR ImmediateChar;
    NTSTATUS ImmediateStatus;
    UCHAR WriteHeld;
    // The time-out fired while the write's own chunk was on the pipe: that
    // chunk's completion ends the write.
    UCHAR WriteTimedOut;
    // Characters were handed to the chip since the transmitter was last found
    // empty: the next time it empties, SERIAL_EV_TXEMPTY.
    volatile LONG EmptiedTransmit;

    // --- Open state ----------------------------------------------------------------
    // 1 while a handle is open (the port takes one at a time), 0 otherwise.
    volatile LONG OpenCount;

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
    // An XOFF_COUNTER whose character went out while the one before it, which
    // has reached its count, still holds CurrentXoffCounter.
    PIRP WaitingXoffCounter;

    // --- Chip type and register shadows -----------------------------------------
    LONG ChipType;
    UCHAR ChipRegisterShadow[16];
    // One bit per register whose shadow has held the chip's word (read from it
    // or written to it and taken).
    USHORT ChipRegistersKnown;

    // --- Transfers ----------------------------------------------------------------
    // StatusIn and BulkIn: the one request of the kind outstanding and not yet
    // claimed by its completion or by a canceller. The BulkOut entry stays null:
    // several bulk-out transfers can be outstanding, and they are kept on
    // BulkOutInFlight instead, so a later one never hides an earlier one.
    TransferContext* volatile TransferInFlight[3];
    // StatusIn and BulkIn: whether a reader of the kind runs (usb/usb.h,
    // ReaderState values); decides who may start one.
    volatile LONG ReaderState[3];
    // Outstanding bulk-out transfers not yet claimed, under TransferLock.
    LIST_ENTRY BulkOutInFlight;
    // Prepared bulk-out transfers in line to be passed down, and whether a caller
    // is passing them down; both under TransferLock.
    LIST_ENTRY BulkOutToSend;
    BOOLEAN SendingBulkOut;
    // One bit per TransferKind: a transfer of the kind ended on a halted (stalled)
    // endpoint. The pipe stays halted until it is reset: the next open resets it.
    volatile LONG HaltedPipes;
    // Asynchronous control requests (made where the caller cannot wait) not yet
    // claimed by their completion, under TransferLock: stopping the transfers
    // cancels them too, so that a request the device never answers cannot hold
    // a close, a restart or a removal for ever.
    LIST_ENTRY AsyncControlsInFlight;
    // Innermost lock of the port (after FillLock): held only to link or unlink a
    // bulk-out transfer or an asynchronous control request, never across a call.
    KSPIN_LOCK TransferLock;
    // Transfers and asynchronous control requests the port has sent and not yet
    // seen complete, plus one for the port itself until removal drains them.
    volatile LONG TransfersOutstanding;
    KEVENT TransfersDrained;

    // --- Interface information and chip type -------------------------------------
    // 18 bytes, as read at the last start.
    PUSB_DEVICE_DESCRIPTOR DeviceDescriptorCopy;
    // Copies of what SELECT_CONFIGURATION answered for interfaces 0 and 1 (the
    // second stays null on a one-interface device); pipes are taken by position.
    PUSBD_INTERFACE_INFORMATION InterfaceInfo0;
    PUSBD_INTERFACE_INFORMATION InterfaceInfo1;
    UCHAR SingleInterface;
    // Recorded as working once the device is configured; open refuses otherwise.
    SYSTEM_POWER_STATE SystemPowerState;

    // --- Chip shadows --------------------------------------------------------------
    // What the chip was last sent; a failed request leaves them as set so that the
    // next request of the kind sends them again.
    LineCodingRecord LineCoding;
    // Set while the chip may not hold what LineCoding says (the last
    // SET_LINE_CODING failed or was never sent): a rate equal to CurrentBaud is
    // then sent again instead of being skipped.
    UCHAR LineCodingUndelivered;
    UCHAR ExtBaudMatched;
    // The largest bulk-out transfer the write path sends.
    ULONG MaxWriteChunk;
    // Set while the chip itself performs that handshake.
    UCHAR RtsFlowInChip;
    UCHAR CtsFlowInChip;
    UCHAR DsrFlowInChip;
    // While set, the flow-control hand-off writes register 0 as one fixed value.
    UCHAR ForceRegister0;

    // --- Status word --------------------------------------------------------------
    USHORT ModemStatusWord;
};

static inline PortExtension* PortOf(PDEVICE_OBJECT device) {
    return static_cast<PortExtension*>(device->DeviceExtension);
}
