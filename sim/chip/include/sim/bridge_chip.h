// The bridge chip behind the simulated bus: its descriptors in five variants, the
// standard requests on endpoint 0, the vendor register file with the configuration
// memory, the class requests that set the line, and the UART behind the data
// endpoints. What each register bit does in the model, the FIFO sizes, the flow
// control levels and the status packets are written down in sim/chip/REGISTERS.md.
//
// The UART is clocked in virtual time once a wire is plugged into the chip's
// serial connector (sim/serial_wires.h); without one the FIFOs are reached
// directly with InjectReceived and TakeTransmitted.
#pragma once

#include <sim/simulation.h>
#include <sim/usb_function.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace sim {

// --- descriptors -------------------------------------------------------------

struct EndpointDescription {
    uint8_t address = 0;     // direction bit 0x80 for IN
    uint8_t attributes = 0;  // 2 bulk, 3 interrupt
    uint16_t maxPacketSize = 64;
    uint8_t interval = 0;  // frames, interrupt endpoints only
};

struct InterfaceDescription {
    uint8_t number = 0;
    uint8_t alternateSetting = 0;
    uint8_t interfaceClass = 0;
    uint8_t interfaceSubClass = 0;
    uint8_t interfaceProtocol = 0;
    // Class-specific descriptors placed between the interface descriptor and its
    // endpoints, each complete with its length and type bytes.
    std::vector<std::vector<uint8_t>> classDescriptors;
    std::vector<EndpointDescription> endpoints;
};

struct DeviceDescription {
    uint16_t bcdUSB = 0x0200;
    uint8_t deviceClass = 0;
    uint8_t deviceSubClass = 0;
    uint8_t deviceProtocol = 0;
    uint8_t maxPacketSize0 = 64;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    uint16_t bcdDevice = 0;
    uint8_t manufacturerIndex = 1;
    uint8_t productIndex = 2;
    uint8_t serialNumberIndex = 3;
};

struct ConfigurationDescription {
    uint8_t value = 1;
    uint8_t attributes = 0xA0;  // bus powered, remote wake-up
    uint8_t maxPower = 50;      // 2 mA units
    std::vector<InterfaceDescription> interfaces;
};

// Everything the chip answers GET_DESCRIPTOR with; the byte images are built from
// these fields on demand, so a test edits a field and the images follow.
struct DescriptorSet {
    DeviceDescription device;
    ConfigurationDescription configuration;
    std::vector<uint16_t> languages = {0x0409};
    std::map<uint8_t, std::u16string> strings;  // index 1 and up

    std::vector<uint8_t> DeviceDescriptor() const;
    std::vector<uint8_t> ConfigurationDescriptor() const;
    // Index 0 is the language list; empty when the index has no string.
    std::vector<uint8_t> StringDescriptor(uint8_t index) const;
};

// The descriptors of variant 0..4 as the chip ships them.
DescriptorSet BridgeDescriptors(int variant);
// The variant's device with two vendor-class interfaces (class, subclass and
// protocol 0xFF): the status endpoint on interface 0, the bulk pair on interface 1.
DescriptorSet VendorTwoInterfaceDescriptors(int variant);
// Variant 0's two interfaces, or the vendor-class split of the other variants, and a
// third interface without endpoints.
DescriptorSet ThreeInterfaceDescriptors(int variant);

// --- line -----------------------------------------------------------------------

// A bit rate as an exact fraction; zero numerator means no rate.
struct BaudRate {
    uint64_t numerator = 0;
    uint64_t denominator = 1;
    double Value() const {
        return static_cast<double>(numerator) / static_cast<double>(denominator);
    }
    bool IsZero() const { return numerator == 0; }
};

// The rate field of a line coding record. Bit 31 marks a chip rate code: the rate is
// 384,000,000 / (m × 4^e) with m = bits 0-8 and e = bits 9-11. Any other value is a
// plain rate in bits per second. Answers false for a code with m = 0.
bool DecodeRateField(uint32_t field, BaudRate* rate);

struct LineSettings {
    uint32_t rateField = 9600;  // as last received
    BaudRate baud{9600, 1};
    uint8_t stopBits = 0;  // 0 one, 1 one and a half, 2 two
    uint8_t parity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
    uint8_t dataBits = 8;

    bool RateIsCode() const { return (rateField & 0x80000000u) != 0; }
    // The 7-byte record GET_LINE_CODING answers.
    std::array<uint8_t, 7> Record() const;
};

// What the host asked of the two output lines with SET_CONTROL_LINE_STATE. With
// automatic RTS or DTR (registers 0 and 1) the UART drives the wire itself.
struct ControlLines {
    bool dtr = false;
    bool rts = false;
};

// The modem lines a DTE reads from its cable.
struct ModemInputs {
    bool cts = false;
    bool dsr = false;
    bool dcd = false;
    bool ri = false;
    bool operator==(const ModemInputs& o) const {
        return cts == o.cts && dsr == o.dsr && dcd == o.dcd && ri == o.ri;
    }
    bool operator!=(const ModemInputs& o) const { return !(*this == o); }
};

// What the UART has counted since the chip was made.
struct UartCounters {
    uint64_t bytesFromHost = 0;       // taken on bulk OUT
    uint64_t bytesTransmitted = 0;    // host bytes that began on TXD
    uint64_t charactersReceived = 0;  // taken off RXD (with errors; breaks and lost ones not)
    uint64_t receivedLost = 0;        // lost: FIFO full, held in reset, or chip suspended
    uint64_t overruns = 0;            // of those, lost to a full receive FIFO
    uint64_t parityErrors = 0;
    uint64_t framingErrors = 0;
    uint64_t breaks = 0;
    uint64_t xoffSent = 0;  // flow characters the chip sent on its own
    uint64_t xonSent = 0;
};

// Registers 0, 1, 2 and 5 read as the UART applies them.
struct FlowControl {
    bool uartEnabled = false;
    bool transmitGatedByCts = false;  // transmitter holds while CTS is off
    bool transmitGatedByDsr = false;  // ... while DSR is off
    bool xonXoff = false;  // obeys received XOFF/XON and sends them from the receive level
    bool rtsFollowsReceiveLevel = false;  // RTS drops at the stop level, rises at resume
    bool dtrFollowsReceiveLevel = false;
    uint8_t xonChar = 0x11;
    uint8_t xoffChar = 0x13;
    size_t stopLevel = 0;    // receive FIFO fill that asks the peer to stop
    size_t resumeLevel = 0;  // fill at or below which the peer may go on
};

// --- the chip -------------------------------------------------------------------

struct BridgeChipOptions {
    // Programmed memory carries the maker's record (marker word, product, power-on
    // register values); blank memory is all 0xFF.
    bool configMemoryProgrammed = true;
    // How long the memory stays busy after each write or address selection.
    Ticks configMemoryBusyTime = 6 * kMillisecond;
    // Where programmed memory puts its records; the variant's usual place if unset.
    std::optional<std::vector<uint8_t>> markerAddresses;
    // A whole memory image, replacing both the programmed and the blank one.
    std::optional<std::array<uint8_t, 256>> configMemoryImage;
    // Descriptors other than the variant's own.
    std::optional<DescriptorSet> descriptors;
    // String indexes whose GET_DESCRIPTOR is stalled.
    std::set<uint8_t> stalledStrings;
    // Power-on register values that override the ones the variant would load.
    std::map<uint8_t, uint16_t> registerPowerOnValues;
};

// One control transfer as the chip saw it.
struct ControlRecord {
    Ticks time = 0;
    SetupPacket setup;
    std::vector<uint8_t> data;  // sent by the host, or answered by the chip
    Handshake result = Handshake::Ack;
};

enum class ChipSetting {
    LineCoding,
    ControlLines,
    Break,
    Register,  // any register write, including the FIFO reset commands
    CommFeature,
    Reset,  // bus reset: everything above went back to power-on values
};

class ChipUart;

class BridgeChip : public UsbFunction {
  public:
    static constexpr int kVariantCount = 5;
    static constexpr size_t kConfigMemorySize = 256;
    static constexpr size_t kStatusPacketSize = 10;
    static constexpr uint8_t kRegisterCount = 16;
    static constexpr uint16_t kVendorId = VODREK_USB_VENDOR_ID;
    static constexpr uint16_t kProductId = VODREK_USB_PRODUCT_ID;
    static constexpr uint16_t kConfigMemoryMarker = VODREK_CONFIG_MEMORY_MARKER;

    // `variant` is 0..4; anything else is clamped into that range.
    explicit BridgeChip(int variant, BridgeChipOptions options = {});
    ~BridgeChip() override;
    BridgeChip(const BridgeChip&) = delete;
    BridgeChip& operator=(const BridgeChip&) = delete;

    // UsbFunction
    Handshake Control(const SetupPacket& setup, std::vector<uint8_t>& data) override;
    Handshake Out(uint8_t endpoint, const uint8_t* data, size_t length) override;
    Handshake In(uint8_t endpoint, uint8_t* buffer, size_t capacity, size_t* produced) override;
    void BusReset() override;
    // USB suspend: the chip keeps every setting (see REGISTERS.md, "Suspend")
    // while its UART stands still.
    void Suspend() override;
    void Resume() override;
    bool Suspended() const { return suspended_; }
    // Remote wake-ups the chip signalled while suspended (see REGISTERS.md).
    uint64_t RemoteWakeups() const { return remoteWakeups_; }

    int variant() const { return variant_; }
    const DescriptorSet& descriptors() const { return descriptors_; }

    // --- USB device state ----------------------------------------------------------
    uint8_t Address() const { return address_; }
    uint8_t Configuration() const { return configuration_; }  // 0 when not configured
    bool RemoteWakeupEnabled() const { return remoteWakeup_; }
    bool EndpointHalted(uint8_t endpoint) const;
    // Endpoint addresses by role, taken from the configuration: the first interrupt IN,
    // bulk OUT and bulk IN endpoint in descriptor order (0 when there is none).
    uint8_t StatusEndpoint() const { return statusIn_; }
    uint8_t BulkOutEndpoint() const { return bulkOut_; }
    uint8_t BulkInEndpoint() const { return bulkIn_; }

    // --- registers -------------------------------------------------------------------
    bool RegisterExists(uint8_t reg) const;
    // The word the register holds (for 3 and 4, the last one written to them).
    uint16_t Register(uint8_t reg) const { return registers_[reg & 0x0F]; }
    const std::array<uint16_t, kRegisterCount>& Registers() const { return registers_; }
    FlowControl DecodedFlowControl() const;
    // Registers 9 and 8 hold the FIFOs empty and let them go again.
    bool FifosHeldInReset() const { return fifoReset_; }
    // Receive FIFO size, and the transmit FIFO's.
    size_t FifoCapacity() const;

    // --- configuration memory ----------------------------------------------------------
    const std::array<uint8_t, kConfigMemorySize>& ConfigMemory() const { return memory_; }
    bool ConfigMemoryBusy() const;
    uint64_t ConfigMemoryBusyAnswers() const { return busyAnswers_; }
    // Writes and selections that arrived while the memory was busy and were lost.
    uint64_t ConfigMemoryAccessesRefused() const { return refusedAccesses_; }

    // --- line ------------------------------------------------------------------------------
    const LineSettings& Line() const { return line_; }
    ControlLines Lines() const { return lines_; }
    bool BreakOn() const { return breakOn_; }
    uint16_t CommFeature() const { return commFeature_; }

    // --- what arrived on endpoint 0 -------------------------------------------------------
    const std::vector<ControlRecord>& ControlLog() const { return log_; }
    // Only the vendor (bmRequestType 0x40/0xC0) and class requests.
    std::vector<ControlRecord> ChipRequests() const;
    void ClearControlLog() { log_.clear(); }

    // Called after every accepted change of a setting.
    void OnSettingChanged(std::function<void(ChipSetting)> listener) {
        listener_ = std::move(listener);
    }

    // --- data side ---------------------------------------------------------------------
    // Bytes as if they had come in on RXD at this instant; what does not fit the
    // receive FIFO is lost (counted, and reported as an overrun). While the FIFOs
    // are held in reset, or the chip is suspended, everything is lost.
    void InjectReceived(const std::vector<uint8_t>& bytes);
    // A status packet carrying `statusWord`, queued for the interrupt endpoint.
    void InjectStatus(uint16_t statusWord);
    // Without a wire: takes up to `max` bytes out of the transmit FIFO, as if the
    // UART had clocked them onto TXD. With a wire the UART does that and this
    // answers nothing.
    std::vector<uint8_t> TakeTransmitted(size_t max = SIZE_MAX);
    size_t TransmitFifoLevel() const;
    size_t ReceiveFifoLevel() const;
    size_t PendingStatusPackets() const;
    uint64_t BytesFromHost() const { return Counters().bytesFromHost; }
    uint64_t ReceivedBytesLost() const { return Counters().receivedLost; }
    // Brought up to the present first.
    UartCounters Counters() const;

    // --- serial connector ----------------------------------------------------------------
    // Whether a wire is plugged in (sim/serial_wires.h).
    bool Plugged() const;
    // CTS, DSR, DCD and RI as the cable brings them (all off with nothing plugged).
    ModemInputs Inputs() const;
    // The levels the chip drives: the host's DTR and RTS, or the receive FIFO's
    // level where the registers hand automatic RTS or DTR to the chip.
    bool RtsLine() const;
    bool DtrLine() const;
    // Whether the chip has asked the far end to stop (the FIFO reached the stop level).
    bool ReceiveHold() const;
    // Whether a received XOFF holds the transmitter.
    bool XoffReceived() const;
    // The engine itself, for the wires.
    ChipUart& Uart() const { return *uart_; }

  private:
    Handshake Standard(const SetupPacket& setup, std::vector<uint8_t>& data);
    Handshake GetDescriptor(const SetupPacket& setup, std::vector<uint8_t>& data);
    Handshake Vendor(const SetupPacket& setup, std::vector<uint8_t>& data);
    Handshake ClassRequest(const SetupPacket& setup, std::vector<uint8_t>& data);
    Handshake WriteRegister(uint8_t reg, uint16_t value);
    Handshake ReadRegister(uint8_t reg, uint16_t length, std::vector<uint8_t>& data);

    void InitialiseConfigMemory();
    void PowerOn();
    void LoadPowerOnRegisters();
    void FindEndpointRoles();
    bool InterfaceExists(uint8_t number, uint8_t alternate) const;
    bool IsDataEndpoint(uint8_t endpoint) const;
    void StartMemoryCycle();
    uint8_t ReadableLatch() const;
    void EndTimedBreak();
    void Changed(ChipSetting what);

    friend class ChipUart;

    int variant_;
    BridgeChipOptions options_;
    DescriptorSet descriptors_;
    uint8_t statusIn_ = 0;
    uint8_t bulkOut_ = 0;
    uint8_t bulkIn_ = 0;
    uint16_t statusPacketSize_ = 0;  // wMaxPacketSize of the status endpoint
    uint16_t bulkInPacketSize_ = 0;

    uint8_t address_ = 0;
    uint8_t configuration_ = 0;
    bool remoteWakeup_ = false;
    std::set<uint8_t> halted_;

    std::array<uint16_t, kRegisterCount> registers_{};
    bool fifoReset_ = false;
    bool suspended_ = false;
    uint64_t remoteWakeups_ = 0;
    bool wakeSignalled_ = false;
    // Activity on the serial side of a suspended chip: wakes the host when it
    // armed remote wake-up.
    void WakeOnActivity();

    std::array<uint8_t, kConfigMemorySize> memory_{};
    Ticks memoryBusyUntil_ = 0;
    uint8_t memoryLatch_ = 0xFF;    // byte 0x8383 answers once the fetch is done
    uint8_t previousLatch_ = 0xFF;  // what it answers while the fetch is still busy
    uint64_t busyAnswers_ = 0;
    uint64_t refusedAccesses_ = 0;

    LineSettings line_;
    ControlLines lines_;
    bool breakOn_ = false;
    uint64_t breakTimer_ = 0;  // scheduled end of a timed break, 0 when none
    uint16_t commFeature_ = 0;

    std::vector<ControlRecord> log_;
    std::function<void(ChipSetting)> listener_;

    std::unique_ptr<ChipUart> uart_;
};

}  // namespace sim
