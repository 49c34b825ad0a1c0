// Baud rate and framing: choosing what the line coding carries for a requested
// rate, decoding the line-control image, and sending SET_LINE_CODING.
#include "usb/usb.h"

// Descending; the last row catches requests too slow for any real rate.
constexpr BaudTableRow BaudTable[kBaudTableRows] = {
    {6000000, 0x80000040}, {3000000, 0x80000080}, {2457600, 0x8000009C}, {1228800, 0x8000024E},
    {921600, 0x80000268},  {812500, 0x80000276},  {806400, 0x80000277},  {614400, 0x8000029C},
    {460800, 0x800002D0},  {406250, 0x800002EC},  {403200, 0x800002EE},  {268800, 0x80000459},
    {230400, 0x80000468},  {201600, 0x80000477},  {161280, 0x80000494},  {134400, 0x800004B2},
    {128000, 0x800004BB},  {115200, 0x800004D0},  {57600, 0x80000668},   {38400, 0x8000069C},
    {28800, 0x800006D0},   {19200, 0x8000084E},   {14400, 0x80000868},   {9600, 0x8000089C},
    {7200, 0x800008D0},    {4800, 0x80000A4E},    {3600, 0x80000A68},    {2400, 0x80000A9C},
    {1800, 0x80000AD0},    {1200, 0x80000C4E},    {600, 0x80000C9C},     {300, 0x80000E4E},
    {150, 0x80000E9C},     {75, 0x80000F38},      {0, 0x00000000},
};

namespace {

constexpr UCHAR kSetLineCoding = 0x20;
// The newer chips are sent rate codes above this rate and take bigger chunks
// from it on (the two comparisons differ on purpose: > here, >= for the chunk).
constexpr ULONG kCodeAbove = 115200;
constexpr ULONG kBigChunkFrom = 115200;
constexpr ULONG kSmallChunk = 0x100;
constexpr ULONG kBigChunk = 0x1000;
// The chip needs this long after a rate change before it runs at the new rate.
constexpr LONGLONG kSettleTime = 50 * 10'000LL;

// Parity codes of the line coding by bits 3-5 of the line-control image: the
// parity-enable bit clear means none whatever the other two say.
constexpr UCHAR kParityByImage[8] = {0, 1, 0, 2, 0, 3, 0, 4};

constexpr bool TableIsDescending() {
    for (ULONG i = 0; i + 1 < kBaudTableRows; ++i) {
        if (BaudTable[i].Baud <= BaudTable[i + 1].Baud)
            return false;
    }
    return BaudTable[kBaudTableRows - 1].Baud == 0;
}
static_assert(TableIsDescending(), "nearest matching relies on the order");

}  // namespace

ULONG BaudTableRowFor(ULONG baud) {
    for (ULONG row = 0; row < kBaudTableRows; ++row) {
        if (BaudTable[row].Baud == baud)
            return row;
    }
    // A request exactly between two rates belongs to neither row of the pair; the
    // next pair then takes it, so it goes to the lower rate.
    for (ULONG i = 0; i + 1 < kBaudTableRows; ++i) {
        const ULONG middle = (BaudTable[i].Baud + BaudTable[i + 1].Baud) / 2;
        if (baud > middle)
            return i;
        if (baud < middle && baud > BaudTable[i + 1].Baud)
            return i + 1;
    }
    return kBaudTableRows - 1;
}

BaudChoice ChooseBaudRate(ULONG baud, LONG chipType, const ExtBaudrateEntry* list, LONG count) {
    if (chipType >= 2) {
        for (LONG k = 0; k < count; ++k) {
            if (list[k].Baud == baud)
                return {baud, list[k].RateCode, true};
        }
    }
    const BaudTableRow& row = BaudTable[BaudTableRowFor(baud)];
    const ULONG rate = (chipType >= 2 && row.Baud > kCodeAbove) ? row.Code : row.Baud;
    return {row.Baud, rate, false};
}

LineCodingRecord LineCodingFraming(UCHAR lineControl) {
    LineCodingRecord framing = {};
    framing.DataBits = static_cast<UCHAR>((lineControl & 0x03) + 5);
    if (lineControl & 0x04)
        framing.StopBits = framing.DataBits == 5 ? 1 : 2;
    framing.Parity = kParityByImage[(lineControl >> 3) & 0x07];
    return framing;
}

namespace {

// SET_LINE_CODING with a snapshot of the whole shadow: the request never sees
// a record that another setting is changing. Whether the chip took it decides
// whether the next request of the same rate may be skipped.
NTSTATUS SendLineCoding(PortExtension* port, PURB urb) {
    RtlCopyMemory(UrbExtra(urb), &port->LineCoding, sizeof(LineCodingRecord));
    NTSTATUS status = SubmitUrbSync(port->DeviceObject, urb);
    FreeUrb(urb);
    port->LineCodingUndelivered = NT_SUCCESS(status) ? 0 : 1;
    return status;
}

PURB AllocateLineCodingRequest() {
    PURB urb = AllocateControlRequest(URB_FUNCTION_CLASS_INTERFACE, kSetLineCoding, 0, 0,
                                      USBD_TRANSFER_DIRECTION_OUT, nullptr,
                                      sizeof(LineCodingRecord), sizeof(LineCodingRecord));
    if (urb)
        urb->UrbControlVendorClassRequest.TransferBuffer = UrbExtra(urb);
    return urb;
}

}  // namespace

NTSTATUS SetBaudRate(PortExtension* port, ULONG baud) {
    if (!CanWaitForChip())
        return STATUS_UNSUCCESSFUL;
    // The rate the chip already runs at needs nothing; one the chip may not have
    // taken is sent again.
    if (baud == 0 || (baud == port->CurrentBaud && !port->LineCodingUndelivered))
        return STATUS_SUCCESS;

    const BaudChoice choice =
        ChooseBaudRate(baud, port->ChipType, ExtBaudrateList, ExtBaudrateCount);
    port->ExtBaudMatched = choice.FromExtList ? 1 : 0;
    port->LineCoding.Rate = choice.Rate;
    PURB urb = AllocateLineCodingRequest();
    if (!urb) {
        // The shadow already holds a rate the chip never saw.
        port->LineCodingUndelivered = 1;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = SendLineCoding(port, urb);

    // Recorded whatever the chip answered; a refused line coding stays marked
    // undelivered, so the next request of any rate, this one included, sends it.
    port->CurrentBaud = choice.Baud;
    port->WmiCommInfo.BaudRate = choice.Baud;
    port->MaxWriteChunk =
        (port->ChipType >= 2 && choice.Baud >= kBigChunkFrom) ? kBigChunk : kSmallChunk;

    LARGE_INTEGER settle;
    settle.QuadPart = -kSettleTime;
    KeDelayExecutionThread(KernelMode, FALSE, &settle);
    return status;
}

NTSTATUS SetLineControl(PortExtension* port) {
    // Nothing can be sent from here; saying so beats claiming a change the chip
    // never saw.
    if (!CanWaitForChip())
        return STATUS_UNSUCCESSFUL;
    const LineCodingRecord framing = LineCodingFraming(port->LineControl);
    port->LineCoding.StopBits = framing.StopBits;
    port->LineCoding.Parity = framing.Parity;
    port->LineCoding.DataBits = framing.DataBits;
    PURB urb = AllocateLineCodingRequest();
    if (!urb) {
        port->LineCodingUndelivered = 1;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return SendLineCoding(port, urb);
}
