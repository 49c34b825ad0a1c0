// What went over the simulated bus: one record per URB, kept for tests and
// tools as a compact text trace, and optionally written as a USBPcap-format
// pcap file (link type 249) that Wireshark and tshark open.
//
// A capture can be shared by several adapters (each record carries its bus and
// device address), so a null-modem pair shows up in one file as it would on one
// root hub.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include <sim/simulation.h>
#include <sim/usb_function.h>
#include <simnt/usb.h>

namespace sim {

// USBPcap's transfer types, which the records use as they are.
enum class UsbTransferType : uint8_t {
    Isochronous = 0,
    Interrupt = 1,
    Control = 2,
    Bulk = 3,
    IrpInfo = 0xFE,  // a request that moves no data (pipe abort, pipe reset)
    Unknown = 0xFF,  // a URB the bus could not interpret
};

struct UrbRecord {
    uint64_t id = 0;  // unique within the capture; the pcap's IRP id
    Ticks submitted = 0;
    Ticks completed = 0;
    uint16_t bus = 0;
    uint8_t device = 0;
    USHORT function = 0;
    // Endpoint address with its direction bit; control transfers are endpoint 0
    // with the direction of their data stage.
    uint8_t endpoint = 0;
    bool in = false;
    UsbTransferType transfer = UsbTransferType::Unknown;
    bool hasSetup = false;
    SetupPacket setup;
    ULONG requested = 0;        // TransferBufferLength as submitted
    std::vector<uint8_t> data;  // OUT: what was submitted; IN: what came back
    USBD_STATUS usbdStatus = USBD_STATUS_PENDING;
    NTSTATUS ntStatus = STATUS_PENDING;
};

// One line of the text trace, for example
//   "2.000 ms dev 1 VENDOR_DEVICE OUT setup 40 01 0606 00aa 0000 data - SUCCESS"
//   "7.000 ms dev 1 BULK_OR_INTERRUPT_TRANSFER IN ep 83 len 384 data 414243 SUCCESS"
// The time is the completion's; the data is hex without separators.
std::string FormatUrbRecord(const UrbRecord& record);

class UsbCapture {
  public:
    UsbCapture();
    ~UsbCapture();
    UsbCapture(const UsbCapture&) = delete;
    UsbCapture& operator=(const UsbCapture&) = delete;

    // From now on every URB is also written to `path` (truncated first).
    // Answers false when the file cannot be created.
    bool OpenPcap(const std::string& path);
    void ClosePcap();
    bool PcapOpen() const { return pcap_ != nullptr; }

    // Records are kept unless turned off (long runs that only want the file).
    void SetKeepRecords(bool keep) { keep_ = keep; }
    const std::vector<UrbRecord>& Records() const { return records_; }
    std::vector<std::string> Trace() const;
    std::string TraceText() const;  // the lines joined with '\n'
    void Clear() { records_.clear(); }

    // Called with every completed record, kept or not.
    void SetListener(std::function<void(const UrbRecord&)> listener) {
        listener_ = std::move(listener);
    }

    // --- the bus's side ------------------------------------------------------
    uint64_t NextId() { return ++lastId_; }
    // The URB on its way down: the pcap's submission records (setup packet and
    // OUT data). `record` holds what is known at submission.
    void Submitted(const UrbRecord& record);
    // The URB on its way back up: the pcap's completion records, the kept
    // record, the listener.
    void Completed(const UrbRecord& record);

  private:
    void WritePacket(Ticks when, const UrbRecord& record, bool up, int stage, const uint8_t* data,
                     size_t length);

    std::FILE* pcap_ = nullptr;
    bool keep_ = true;
    uint64_t lastId_ = 0;
    std::vector<UrbRecord> records_;
    std::function<void(const UrbRecord&)> listener_;
};

}  // namespace sim
