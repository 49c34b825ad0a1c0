// The capture: records of completed URBs, their text form, and the USBPcap
// pcap file. The file follows what the USBPcap filter writes on Windows, so a
// capture from the simulator reads like one taken under the real stack: a URB
// going down is written when it is submitted, its way back up when it
// completes; a control transfer is split into its setup stage (the 8-byte setup
// packet), its data stage and a closing completion record.
#include <sim/usb_bus.h>
#include <sim/usb_capture.h>

#include <cinttypes>
#include <cstring>

namespace sim {

namespace {

// pcap with nanosecond timestamps, so virtual time (100 ns) survives exactly.
constexpr uint32_t kPcapMagicNanoseconds = 0xA1B23C4D;
constexpr uint32_t kLinkTypeUsbPcap = 249;
constexpr uint32_t kSnapLength = 65535;

constexpr uint16_t kUsbPcapHeaderLength = 27;
constexpr uint16_t kUsbPcapControlHeaderLength = 28;
constexpr uint8_t kInfoPdoToFdo = 0x01;

constexpr int kStageSetup = 0;
constexpr int kStageData = 1;
constexpr int kStageComplete = 3;

void Put16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void Put64(std::vector<uint8_t>& out, uint64_t v) {
    for (int i = 0; i < 8; ++i)
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

std::vector<uint8_t> SetupBytes(const SetupPacket& s) {
    std::vector<uint8_t> b;
    b.push_back(s.bmRequestType);
    b.push_back(s.bRequest);
    Put16(b, s.wValue);
    Put16(b, s.wIndex);
    Put16(b, s.wLength);
    return b;
}

std::string Hex(const std::vector<uint8_t>& data) {
    if (data.empty())
        return "-";
    static const char digits[] = "0123456789abcdef";
    std::string s;
    s.reserve(data.size() * 2);
    for (uint8_t b : data) {
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

}  // namespace

std::string FormatUrbRecord(const UrbRecord& r) {
    char head[96];
    std::snprintf(head, sizeof head, "%" PRId64 ".%03" PRId64 " ms dev %u ",
                  r.completed / kMillisecond, (r.completed % kMillisecond) / kMicrosecond,
                  static_cast<unsigned>(r.device));
    std::string line = head + UrbFunctionName(r.function) + (r.in ? " IN" : " OUT");
    char body[64];
    if (r.hasSetup) {
        std::snprintf(body, sizeof body, " setup %02x %02x %04x %04x %04x", r.setup.bmRequestType,
                      r.setup.bRequest, r.setup.wValue, r.setup.wIndex, r.setup.wLength);
        line += body;
    } else if (r.transfer == UsbTransferType::Bulk || r.transfer == UsbTransferType::Interrupt) {
        std::snprintf(body, sizeof body, " ep %02x len %u", r.endpoint,
                      static_cast<unsigned>(r.requested));
        line += body;
    } else if (r.transfer == UsbTransferType::IrpInfo) {
        std::snprintf(body, sizeof body, " ep %02x", r.endpoint);
        line += body;
    }
    return line + " data " + Hex(r.data) + " " + UsbdStatusName(r.usbdStatus);
}

UsbCapture::UsbCapture() = default;

UsbCapture::~UsbCapture() {
    ClosePcap();
}

bool UsbCapture::OpenPcap(const std::string& path) {
    ClosePcap();
    pcap_ = std::fopen(path.c_str(), "wb");
    if (!pcap_)
        return false;
    std::vector<uint8_t> h;
    Put32(h, kPcapMagicNanoseconds);
    Put16(h, 2);  // version 2.4
    Put16(h, 4);
    Put32(h, 0);  // GMT offset
    Put32(h, 0);  // timestamp accuracy
    Put32(h, kSnapLength);
    Put32(h, kLinkTypeUsbPcap);
    std::fwrite(h.data(), 1, h.size(), pcap_);
    std::fflush(pcap_);
    return true;
}

void UsbCapture::ClosePcap() {
    if (pcap_)
        std::fclose(pcap_);
    pcap_ = nullptr;
}

std::vector<std::string> UsbCapture::Trace() const {
    std::vector<std::string> lines;
    lines.reserve(records_.size());
    for (const auto& r : records_)
        lines.push_back(FormatUrbRecord(r));
    return lines;
}

std::string UsbCapture::TraceText() const {
    std::string text;
    for (const auto& r : records_) {
        if (!text.empty())
            text += '\n';
        text += FormatUrbRecord(r);
    }
    return text;
}

void UsbCapture::WritePacket(Ticks when, const UrbRecord& r, bool up, int stage,
                             const uint8_t* data, size_t length) {
    const bool control = r.transfer == UsbTransferType::Control;
    std::vector<uint8_t> p;
    Put16(p, control ? kUsbPcapControlHeaderLength : kUsbPcapHeaderLength);
    Put64(p, r.id);
    Put32(p, up ? static_cast<uint32_t>(r.usbdStatus) : 0);
    Put16(p, r.function);
    p.push_back(up ? kInfoPdoToFdo : 0);
    Put16(p, r.bus);
    Put16(p, r.device);
    p.push_back(r.endpoint);
    // Readers flag USBPcap's "unknown" transfer type as malformed; a URB the bus
    // could not make sense of is written as IRP information, which they decode.
    p.push_back(static_cast<uint8_t>(
        r.transfer == UsbTransferType::Unknown ? UsbTransferType::IrpInfo : r.transfer));
    Put32(p, static_cast<uint32_t>(length));
    if (control)
        p.push_back(static_cast<uint8_t>(stage));
    if (length)
        p.insert(p.end(), data, data + length);

    const uint32_t original = static_cast<uint32_t>(p.size());
    const uint32_t captured = original < kSnapLength ? original : kSnapLength;
    std::vector<uint8_t> rec;
    const Ticks t = when < 0 ? 0 : when;
    Put32(rec, static_cast<uint32_t>(t / kSecond));
    Put32(rec, static_cast<uint32_t>((t % kSecond) * 100));
    Put32(rec, captured);
    Put32(rec, original);
    std::fwrite(rec.data(), 1, rec.size(), pcap_);
    std::fwrite(p.data(), 1, captured, pcap_);
    std::fflush(pcap_);
}

void UsbCapture::Submitted(const UrbRecord& r) {
    if (!pcap_)
        return;
    switch (r.transfer) {
        case UsbTransferType::Control: {
            std::vector<uint8_t> setup = SetupBytes(r.setup);
            WritePacket(r.submitted, r, false, kStageSetup, setup.data(), setup.size());
            if (!r.in && !r.data.empty())
                WritePacket(r.submitted, r, false, kStageData, r.data.data(), r.data.size());
            break;
        }
        case UsbTransferType::Bulk:
        case UsbTransferType::Interrupt:
            if (!r.in) {
                WritePacket(r.submitted, r, false, 0, r.data.data(), r.data.size());
                break;
            }
            [[fallthrough]];
        default:
            WritePacket(r.submitted, r, false, 0, nullptr, 0);
            break;
    }
}

void UsbCapture::Completed(const UrbRecord& r) {
    if (pcap_) {
        switch (r.transfer) {
            case UsbTransferType::Control:
                if (r.in && !r.data.empty())
                    WritePacket(r.completed, r, true, kStageData, r.data.data(), r.data.size());
                WritePacket(r.completed, r, true, kStageComplete, nullptr, 0);
                break;
            case UsbTransferType::Bulk:
            case UsbTransferType::Interrupt:
                if (r.in) {
                    WritePacket(r.completed, r, true, 0, r.data.data(), r.data.size());
                    break;
                }
                [[fallthrough]];
            default:
                WritePacket(r.completed, r, true, 0, nullptr, 0);
                break;
        }
    }
    if (keep_)
        records_.push_back(r);
    if (listener_)
        listener_(r);
}

}  // namespace sim
