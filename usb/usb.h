// The USB transport and the chip's setup requests: the operations other folders
// call.
#pragma once

#include "driver/driver.h"

// --- URBs ------------------------------------------------------------------------
// A zeroed URB from non-paged pool with its header's Length and Function set,
// followed by `extraBytes` of its own (a private transfer buffer: UrbExtra), or
// null. Freed with FreeUrb.
PURB AllocateUrb(USHORT function, USHORT length, ULONG extraBytes = 0);
void FreeUrb(PURB urb);
static inline PUCHAR UrbExtra(PURB urb) {
    return reinterpret_cast<PUCHAR>(urb) + urb->UrbHeader.Length;
}
// A vendor or class request of endpoint 0, allocated for it: flags 0 (to the
// device) or USBD_TRANSFER_DIRECTION_IN. Null without memory.
PURB AllocateControlRequest(USHORT function, UCHAR request, USHORT value, USHORT index, ULONG flags,
                            PVOID buffer, ULONG length, ULONG extraBytes = 0);

// --- Transfers ------------------------------------------------------------------

enum TransferKind : ULONG {
    StatusIn = 0,  // the 10-byte status packets of the interrupt pipe
    BulkOut = 1,   // transmitted data
    BulkIn = 2,    // received data
};
constexpr ULONG kTransferKindCount = 3;
constexpr ULONG kStatusPacketLength = 10;
constexpr ULONG kBulkInLength = 384;

// What a bulk-out transfer carries. Its completion is told, so that only the
// current write's own chunk ever advances that write.
enum class BulkOutPurpose : UCHAR {
    WriteChunk,     // a chunk of the request named as its owner
    FlowCharacter,  // an XON or XOFF sent by the receive flow control
    Immediate,      // the immediate character (owner: its request)
    ZeroLength,     // the zero-length transfer of a write time-out
};

// ReaderState of StatusIn and BulkIn. Only interlocked operations change it.
enum ReaderStateValue : LONG {
    ReaderIdle = 0,      // no request of the kind outstanding, none about to be sent
    ReaderRunning = 1,   // one outstanding, or its completion is deciding on the next
    ReaderStopping = 2,  // cancelled: the completion under way must not send another
    ReaderRestart = 3,   // cancelled, then started again before the cancelled one
                         // completed: its completion sends a fresh one
};

// Sets up the transport's part of a new port: called once, when the device
// object is created (with the port's other locks).
void InitializeTransfers(PortExtension* port);

// Whether the caller may wait for a chip request: a thread may wait up to
// APC_LEVEL, which is where open runs (under a fast mutex).
inline bool CanWaitForChip() { return KeGetCurrentIrql() <= APC_LEVEL; }

// Sends one control URB and waits for it, at most 3 seconds; then cancels it,
// waits for the cancellation and answers STATUS_IO_TIMEOUT. The URB stays the
// caller's. Up to APC_LEVEL, where a thread may wait (anything higher answers
// STATUS_INVALID_DEVICE_STATE and sends nothing).
NTSTATUS SubmitUrbSync(PDEVICE_OBJECT device, PURB urb);
// Sends one control URB without waiting and takes it over: it is freed (with
// ExFreePoolWithTag, VODREK_POOL_TAG) when the request completes, or at once
// when it cannot be sent. Up to DISPATCH_LEVEL.
NTSTATUS SubmitUrbAsync(PDEVICE_OBJECT device, PURB urb);
IO_COMPLETION_ROUTINE AsyncControlComplete;

// One bulk or interrupt transfer of `kind`. For BulkOut the `length` bytes at
// `data` are copied at once; `purpose` and `owner` travel with the transfer to
// its completion. For StatusIn and BulkIn this starts the kind's continuous
// reader only when none runs (StartContinuousTransfer). Up to DISPATCH_LEVEL.
NTSTATUS SubmitTransfer(PDEVICE_OBJECT device, TransferKind kind, const void* data, ULONG length,
                        BulkOutPurpose purpose = BulkOutPurpose::WriteChunk, PIRP owner = nullptr);
IO_COMPLETION_ROUTINE TransferComplete;
// A bulk-out transfer in two steps, for callers that decide what to send under
// their spin locks: PrepareBulkOut copies the bytes into the transfer's own
// buffer at once (non-paged pool: spin locks may be held) and answers null, with
// the reason in *status, when it cannot; SendPreparedTransfer passes it down and
// must be called with no spin lock held (the bus may complete it inside).
// `serial` travels to the completion with `purpose` and `owner`.
struct TransferContext;
TransferContext* PrepareBulkOut(PortExtension* port, const void* data, ULONG length, BulkOutPurpose purpose,
                               PIRP owner, ULONG serial, NTSTATUS* status);
NTSTATUS SendPreparedTransfer(PortExtension* port, TransferContext* transfer);
// The same for transfers whose order on the pipe matters (a write's chunks, and
// the next write's after them): QueuePreparedTransfer puts a prepared transfer
// in line where the caller decides on it, spin locks held or not;
// SendQueuedTransfers, with no spin lock held, passes down everything in line,
// in order.
// Whoever finds another caller already sending leaves its transfer to that one,
// so a transfer decided on first always goes down first.
void QueuePreparedTransfer(PortExtension* port, TransferContext* transfer);
void SendQueuedTransfers(PortExtension* port);

// Starts the continuous reader of StatusIn or BulkIn unless one is outstanding
// or about to be resubmitted; a reader whose request is outstanding (cancelled
// or not) is told to send another when that request completes. Answers STATUS_SUCCESS when a reader runs
// or will run. Open, power-up, the vendor restart control and the release of a
// receive hold call this.
NTSTATUS StartContinuousTransfer(PortExtension* port, TransferKind kind);
// Both readers, status first.
NTSTATUS StartContinuousTransfers(PortExtension* port);
// Resets each pipe on which a transfer ended halted (a stall), so that its
// transfers run again; a reset that fails is tried again the next time.
// PASSIVE_LEVEL; open calls it before it takes its fast mutex.
// A transfer on `pipe` ended with `status`: a stalled or halted endpoint is
// noted, for the next open to reset.
void NoteHaltedPipe(PortExtension* port, USBD_PIPE_HANDLE pipe, USBD_STATUS status);
NTSTATUS ResetHaltedPipes(PortExtension* port);

// Cancels the outstanding transfers of one kind (every outstanding bulk-out
// transfer for BulkOut) and stops the kind's reader. Does not wait. Does nothing
// above PASSIVE_LEVEL: the write cancel routine calls it with the cancel spin
// lock held, and its chunk in flight then completes normally.
void CancelTransfer(PortExtension* port, TransferKind kind);
// StatusIn, BulkOut, BulkIn, in that order, then the asynchronous control
// requests still outstanding.
void CancelAllTransfers(PortExtension* port);
// Cancels every asynchronous control request not yet completed. Does not wait;
// PASSIVE_LEVEL.
void CancelAsyncControls(PortExtension* port);
// Bytes of the bulk-out transfers outstanding (handed down, not yet claimed by
// their completion or a canceller). Up to DISPATCH_LEVEL.
ULONG BulkOutBytesInFlight(PortExtension* port);
// CancelAllTransfers, then waits until every transfer and asynchronous request
// of the port has completed; the port stays usable (a reader may be started
// again afterwards). PASSIVE_LEVEL.
void StopTransfersAndWait(PortExtension* port);
// Removal only, once, after CancelAllTransfers: waits until no transfer or
// asynchronous request of the port is outstanding, so that no completion can
// still reach the port when its device object goes. PASSIVE_LEVEL.
void WaitForTransfersToDrain(PortExtension* port);

// --- What transfers brought ------------------------------------------------------------
// What a transfer brought or moved, handed to the kind's processing.
struct TransferOutcome {
    NTSTATUS Status;
    const UCHAR* Data;  // the transfer buffer, valid during the call
    ULONG Length;       // bytes moved, never more than were asked for
    BulkOutPurpose Purpose;
    PIRP Owner;
    ULONG Serial;
};
// Kind-specific processing of a completed transfer, at DISPATCH_LEVEL, skipped
// while the device is being removed. The two readers answer whether the frame
// submits the next transfer of the kind.
bool ProcessStatusTransfer(PortExtension* port, const TransferOutcome& outcome);
bool ProcessReceiveTransfer(PortExtension* port, const TransferOutcome& outcome);
void ProcessTransmitTransfer(PortExtension* port, const TransferOutcome& outcome);

// --- Modem and line status (usb/reception.cpp) ---------------------------------------------
// The line-state image (0x10 CTS, 0x20 DSR, 0x40 RI, 0x80 DCD) of the status word
// as it stands, with the transmit holds of the chip's own handshakes and the DSR
// sensitivity hold brought up to date. Records no events and counts no errors:
// those belong to the status packet that brought the word.
UCHAR ProcessModemStatus(PortExtension* port);
// The line-status image (0x02 overrun, 0x04 parity, 0x08 framing, 0x10 break) of
// the status word as it stands; counts and reports nothing.
UCHAR LineStatusImage(USHORT statusWord);

// --- Receive ring and receive flow control (usb/receive_buffer.cpp) -------------------------
// What the receive path decided under its spin locks and carries out once they
// are all released: control-line changes, flow characters, the bulk-in restart.
struct ReceiveActions {
    bool StartBulkIn;
    bool SendXoff;
    bool SendXon;
    signed char Dtr;  // -1 leave, 0 lower, 1 raise
    signed char Rts;
    ULONG Events;     // SERIAL_EV_* bits to record in EventHistory
};
constexpr ReceiveActions kNoReceiveActions = {false, false, false, -1, -1, 0};
void CarryOut(PortExtension* port, ReceiveActions& actions);

// Stores received characters: into the waiting read's buffer (which completes it
// when full) or into the ring, applying the holds, overruns and events. `count`
// characters go whole or not at all (an escape sequence is never cut). Caller
// holds ControlLock and FillLock and has seen DeviceIsOpen set.
void PutReceivedChars(PortExtension* port, const UCHAR* chars, ULONG count, ReceiveActions& actions);
// Takes ControlLock and FillLock, stores only while the port is open, and
// carries the decisions out.
void InsertReceivedChars(PortExtension* port, const UCHAR* chars, ULONG count);
// Lifts the receive holds once the ring has drained to XonLimit. Records what
// must be sent; callers under a spin lock carry it out later.
void ReleaseReceiveHolds(PortExtension* port, ReceiveActions& actions);
// Whether a receive hold keeps the bulk-in reader idle, so that what the far
// end still sends waits in the chip's FIFO: an XOFF hold on a chip that does
// XON/XOFF itself (on the others the reader must go on, or the far end's XON
// for our own transmitter would never be seen); a DTR hold, whose margin is
// smaller than what one transfer and the chip's FIFO bring after the line
// drops; an RTS hold the chip carries out itself. An RTS hold the driver
// carries out with the line keeps reading: the line takes a control transfer
// to drop, and the 400 characters of margin before the DTR level take what
// comes meanwhile, where the chip's FIFO could not.
bool ReaderHeld(const PortExtension* port);
// A 32-bit unsigned counter or bit set of the port, for the interlocked DDIs.
inline volatile LONG* AsLong(volatile ULONG* field) { return reinterpret_cast<volatile LONG*>(field); }
// Applies a SERIAL_HANDFLOW record to the lines, the chip and the holds
// (PASSIVE_LEVEL); with `treatAllAsChanged` every group is applied.
void ApplyHandFlow(PortExtension* port, const SERIAL_HANDFLOW& handFlow, bool treatAllAsChanged);
void ApplyHandFlowToChip(PortExtension* port, bool treatAllAsChanged);
// Answers the waiting WAIT_ON_MASK when EventHistory has bits; safe from any
// number of paths at once, and never leaves an event behind.
void CheckWaitCompletion(PortExtension* port);
void RecordEvents(PortExtension* port, ULONG events);
// One character time at the current rate and framing, in 100-ns units (baud 0
// counts as 9600, without storing it).
LONGLONG CharacterTime(const PortExtension* port);
void MarkTransmitterEmpty(PortExtension* port);
// Bytes the chip's transmit FIFO holds: 256 on chip types 0 and 1, 512 on the others.
constexpr ULONG TransmitFifoDepth(LONG chipType) { return chipType < 2 ? 256 : 512; }
// From the driver's own knowledge: nothing to send or in flight, and the last
// bytes handed to the chip have had time to leave.
bool TransmitterIsEmpty(PortExtension* port);
void EndBreak(PortExtension* port);
void TransmitToggleCheck(PortExtension* port);
// Under SERIAL_TRANSMIT_TOGGLE an XOFF hold is followed by the check that drops
// RTS once the line has drained: queued from a DPC, counted as pending.
void QueueToggleCheck(PortExtension* port);

// --- Pipes and configuration ---------------------------------------------------------
// The pipe handle a kind uses, or null when the configuration has no such pipe.
USBD_PIPE_HANDLE PipeHandleFor(const PortExtension* port, TransferKind kind);

// Reads the descriptors, decides ChipType, selects the configuration and, for the
// newer chips, checks that the chip answers. Once per start, PASSIVE_LEVEL.
NTSTATUS ConfigureDevice(PDEVICE_OBJECT device);
NTSTATUS SelectSingleInterface(PDEVICE_OBJECT device, PUSB_CONFIGURATION_DESCRIPTOR config);
NTSTATUS SelectTwoInterfaces(PDEVICE_OBJECT device, PUSB_CONFIGURATION_DESCRIPTOR config);
NTSTATUS ChipEchoTest(PDEVICE_OBJECT device);
// Frees the descriptor and interface copies; removal calls it.
void ReleaseConfiguration(PortExtension* port);

// The chip-type rules, applied to a device descriptor (pure): the first rule
// that matches decides, none keeps `current`.
LONG ChipTypeFromDeviceDescriptor(const UCHAR descriptor[18], LONG current);

// --- Baud rate and line coding ----------------------------------------------------------
struct BaudTableRow {
    ULONG Baud;
    ULONG Code;
};
constexpr ULONG kBaudTableRows = 35;
extern const BaudTableRow BaudTable[kBaudTableRows];

struct BaudChoice {
    ULONG Baud;  // the rate the port runs at (a near request is replaced by its row)
    ULONG Rate;  // what the line coding's rate field carries
    bool FromExtList;
};
// The row of BaudTable a request takes: exact, else nearest (a tie goes to the
// lower rate). Pure. `baud` is not 0.
ULONG BaudTableRowFor(ULONG baud);
// The choice SetBaudRate sends for `baud` (not 0) on a chip of `chipType`. Pure.
BaudChoice ChooseBaudRate(ULONG baud, LONG chipType, const ExtBaudrateEntry* list, LONG count);
// Stop bits, parity and data bits of a line-control image. Pure.
LineCodingRecord LineCodingFraming(UCHAR lineControl);

NTSTATUS SetBaudRate(PortExtension* port, ULONG baud);
NTSTATUS SetLineControl(PortExtension* port);

// --- Control lines, break, registers --------------------------------------------------
// true when the request succeeded; false, with nothing changed, above
// PASSIVE_LEVEL or without memory.
bool SetDtr(PortExtension* port);
bool ClearDtr(PortExtension* port);
bool SetRts(PortExtension* port);
bool ClearRts(PortExtension* port);
NTSTATUS SetBreak(PortExtension* port, bool on);
NTSTATUS SetCommFeature(PortExtension* port, const USHORT* value);
// Register requests through ChipRegisterShadow (register code in both bytes of
// wValue, reads with 0x80 added). A read answers false only without memory for
// the URB; a failed read leaves the shadow as it was. A write answers the
// request's status (STATUS_INSUFFICIENT_RESOURCES without memory for the URB).
bool ReadRegister(PortExtension* port, UCHAR reg);
// The same read for callers that must know whether the chip answered: the
// request's status, STATUS_DEVICE_DATA_ERROR when it moved no byte,
// STATUS_INSUFFICIENT_RESOURCES without memory for the URB.
NTSTATUS ReadRegisterFromChip(PortExtension* port, UCHAR reg);
// The read before changing some bits of a register: success when the shadow
// now holds the chip's word, or the chip did not answer but the shadow has held
// its word before (read or written); otherwise the read's failure, and the
// caller must not write the register.
NTSTATUS ReadRegisterForChange(PortExtension* port, UCHAR reg);
NTSTATUS WriteRegister(PortExtension* port, UCHAR reg);

constexpr USHORT ConfigMemoryMarker = static_cast<USHORT>(VODREK_CONFIG_MEMORY_MARKER);
bool ConfigMemoryProgrammed(PortExtension* port);
NTSTATUS WriteDefaultRegisters(PortExtension* port);

// The hand-off of a handshake to the chip: the first register write the chip
// refuses ends the operation with its status, and RtsFlowInChip, CtsFlowInChip,
// DsrFlowInChip and the transmit holds that go with them change only when every
// write went through, so they say what the chip really does.
NTSTATUS SetRtsFlowInChip(PortExtension* port, bool on);
NTSTATUS SetCtsFlowInChip(PortExtension* port, bool on);
NTSTATUS SetDsrFlowInChip(PortExtension* port, bool on);
// Where the caller cannot wait it works from the register shadow and sends the
// write without waiting for it.
NTSTATUS SetAutoXonXoffInChip(PortExtension* port, bool on);

// Sends every setting to the chip again: open and start.
void ApplyAllSettings(PortExtension* port);
