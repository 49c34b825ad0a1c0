// The chip as a USB function: power-on and bus reset, the dispatch of control
// transfers, the standard requests, and the bulk and interrupt endpoints.
#include <sim/bridge_chip.h>

#include <algorithm>

#include "bridge_uart.h"

namespace sim {
namespace {

// bRequest of the standard requests.
constexpr uint8_t kGetStatus = 0;
constexpr uint8_t kClearFeature = 1;
constexpr uint8_t kSetFeature = 3;
constexpr uint8_t kSetAddress = 5;
constexpr uint8_t kGetDescriptor = 6;
constexpr uint8_t kGetConfiguration = 8;
constexpr uint8_t kSetConfiguration = 9;
constexpr uint8_t kGetInterface = 10;
constexpr uint8_t kSetInterface = 11;

constexpr uint16_t kEndpointHalt = 0;
constexpr uint16_t kDeviceRemoteWakeup = 1;

constexpr uint8_t kRecipientDevice = 0;
constexpr uint8_t kRecipientInterface = 1;
constexpr uint8_t kRecipientEndpoint = 2;

constexpr uint8_t kSelfPowered = 0x40;
constexpr uint8_t kRemoteWakeupCapable = 0x20;

Ticks Now() {
    return Simulation::Exists() ? Simulation::Current().Now() : 0;
}

}  // namespace

BridgeChip::BridgeChip(int variant, BridgeChipOptions options)
    : variant_(std::clamp(variant, 0, kVariantCount - 1)), options_(std::move(options)) {
    descriptors_ = options_.descriptors ? *options_.descriptors : BridgeDescriptors(variant_);
    FindEndpointRoles();
    InitialiseConfigMemory();
    uart_ = std::make_unique<ChipUart>(*this);
    PowerOn();
}

BridgeChip::~BridgeChip() {
    if (breakTimer_ != 0 && Simulation::Exists())
        Simulation::Current().CancelScheduled(breakTimer_);
}

void BridgeChip::FindEndpointRoles() {
    for (const InterfaceDescription& itf : descriptors_.configuration.interfaces) {
        if (itf.alternateSetting != 0)
            continue;
        for (const EndpointDescription& ep : itf.endpoints) {
            bool in = (ep.address & 0x80) != 0;
            uint8_t type = ep.attributes & 0x03;
            if (type == 3 && in && statusIn_ == 0) {
                statusIn_ = ep.address;
                statusPacketSize_ = ep.maxPacketSize;
            } else if (type == 2 && !in && bulkOut_ == 0) {
                bulkOut_ = ep.address;
            } else if (type == 2 && in && bulkIn_ == 0) {
                bulkIn_ = ep.address;
                bulkInPacketSize_ = ep.maxPacketSize;
            }
        }
    }
}

// Everything a power cycle or a bus reset sets back. The configuration memory keeps
// its contents; the registers are loaded from it again.
void BridgeChip::PowerOn() {
    address_ = 0;
    configuration_ = 0;
    remoteWakeup_ = false;
    suspended_ = false;  // a reset also ends a suspend
    halted_.clear();
    LoadPowerOnRegisters();
    fifoReset_ = false;
    memoryBusyUntil_ = 0;
    line_ = LineSettings{};
    lines_ = ControlLines{};
    breakOn_ = false;
    if (breakTimer_ != 0 && Simulation::Exists())
        Simulation::Current().CancelScheduled(breakTimer_);
    breakTimer_ = 0;
    commFeature_ = 0;
    uart_->PowerOn();
}

void BridgeChip::BusReset() {
    PowerOn();
    Changed(ChipSetting::Reset);
}

// A suspended device keeps its address, configuration and every register,
// line and memory setting (it stays powered from the bus, at suspend current);
// only the UART's clock stops. See REGISTERS.md, "Suspend".
void BridgeChip::Suspend() {
    suspended_ = true;
    wakeSignalled_ = false;
    uart_->Suspend();
}

// One signal per suspend: the host resumes the port (or not) in its own time,
// and what follows before that is latched or lost as the suspend says.
void BridgeChip::WakeOnActivity() {
    if (!suspended_ || !remoteWakeup_ || wakeSignalled_)
        return;
    wakeSignalled_ = true;
    ++remoteWakeups_;
    SignalRemoteWakeup();
}

void BridgeChip::Resume() {
    if (!suspended_)
        return;
    suspended_ = false;
    uart_->Resume();
}

void BridgeChip::Changed(ChipSetting what) {
    if (what != ChipSetting::Reset)
        uart_->SettingsChanged();
    if (listener_)
        listener_(what);
}

Handshake BridgeChip::Control(const SetupPacket& setup, std::vector<uint8_t>& data) {
    const bool toHost = (setup.bmRequestType & 0x80) != 0;
    ControlRecord record;
    record.time = Now();
    record.setup = setup;
    if (toHost) {
        data.clear();
    } else {
        record.data = data;
    }

    Handshake result = Handshake::Stall;
    if (!toHost && data.size() != setup.wLength) {
        result = Handshake::Stall;  // the data stage does not match the setup packet
    } else {
        switch ((setup.bmRequestType >> 5) & 0x03) {
            case 0:
                result = Standard(setup, data);
                break;
            case 1:
                result = ClassRequest(setup, data);
                break;
            case 2:
                result = Vendor(setup, data);
                break;
            default:
                result = Handshake::Stall;
                break;
        }
    }
    if (toHost) {
        if (result != Handshake::Ack)
            data.clear();
        if (data.size() > setup.wLength)
            data.resize(setup.wLength);
        record.data = data;
    }
    record.result = result;
    log_.push_back(std::move(record));
    return result;
}

std::vector<ControlRecord> BridgeChip::ChipRequests() const {
    std::vector<ControlRecord> out;
    for (const ControlRecord& r : log_) {
        const int type = (r.setup.bmRequestType >> 5) & 0x03;
        if (type == 1 || type == 2)
            out.push_back(r);
    }
    return out;
}

bool BridgeChip::InterfaceExists(uint8_t number, uint8_t alternate) const {
    for (const InterfaceDescription& itf : descriptors_.configuration.interfaces) {
        if (itf.number == number && itf.alternateSetting == alternate)
            return true;
    }
    return false;
}

bool BridgeChip::IsDataEndpoint(uint8_t endpoint) const {
    return endpoint != 0 && (endpoint == statusIn_ || endpoint == bulkOut_ || endpoint == bulkIn_);
}

bool BridgeChip::EndpointHalted(uint8_t endpoint) const {
    return halted_.count(endpoint) != 0;
}

Handshake BridgeChip::Standard(const SetupPacket& setup, std::vector<uint8_t>& data) {
    const uint8_t recipient = setup.bmRequestType & 0x1F;
    const bool toHost = (setup.bmRequestType & 0x80) != 0;
    const bool configured = configuration_ != 0;
    const uint8_t attributes = descriptors_.configuration.attributes;

    switch (setup.bRequest) {
        case kGetStatus: {
            if (!toHost || setup.wValue != 0 || setup.wLength == 0)
                return Handshake::Stall;
            uint8_t low = 0;
            if (recipient == kRecipientDevice) {
                low = static_cast<uint8_t>(((attributes & kSelfPowered) ? 0x01 : 0) |
                                           (remoteWakeup_ ? 0x02 : 0));
            } else if (recipient == kRecipientInterface) {
                if (!configured || !InterfaceExists(setup.wIndex & 0xFF, 0))
                    return Handshake::Stall;
            } else if (recipient == kRecipientEndpoint) {
                uint8_t ep = setup.wIndex & 0xFF;
                if ((ep & 0x7F) != 0 && !(configured && IsDataEndpoint(ep))) {
                    return Handshake::Stall;
                }
                low = EndpointHalted(ep) ? 0x01 : 0;
            } else {
                return Handshake::Stall;
            }
            data = {low, 0};
            return Handshake::Ack;
        }
        case kClearFeature:
        case kSetFeature: {
            if (toHost || setup.wLength != 0)
                return Handshake::Stall;
            const bool set = setup.bRequest == kSetFeature;
            if (recipient == kRecipientDevice && setup.wValue == kDeviceRemoteWakeup) {
                // A device that does not claim remote wake-up in its configuration
                // refuses to arm it.
                if (!(attributes & kRemoteWakeupCapable))
                    return Handshake::Stall;
                remoteWakeup_ = set;
                return Handshake::Ack;
            }
            if (recipient == kRecipientEndpoint && setup.wValue == kEndpointHalt) {
                uint8_t ep = setup.wIndex & 0xFF;
                if ((ep & 0x7F) == 0)
                    return Handshake::Ack;  // endpoint 0 never stays halted
                if (!configured || !IsDataEndpoint(ep))
                    return Handshake::Stall;
                if (set) {
                    halted_.insert(ep);
                } else {
                    halted_.erase(ep);
                }
                return Handshake::Ack;
            }
            return Handshake::Stall;  // test mode and anything else a full-speed device lacks
        }
        case kSetAddress:
            if (toHost || recipient != kRecipientDevice || setup.wValue > 127 ||
                setup.wIndex != 0 || setup.wLength != 0) {
                return Handshake::Stall;
            }
            address_ = static_cast<uint8_t>(setup.wValue);
            return Handshake::Ack;
        case kGetDescriptor:
            if (!toHost || recipient != kRecipientDevice)
                return Handshake::Stall;
            return GetDescriptor(setup, data);
        case kGetConfiguration:
            if (!toHost || recipient != kRecipientDevice || setup.wLength == 0) {
                return Handshake::Stall;
            }
            data = {configuration_};
            return Handshake::Ack;
        case kSetConfiguration: {
            if (toHost || recipient != kRecipientDevice || setup.wLength != 0 ||
                (setup.wValue >> 8) != 0) {
                return Handshake::Stall;
            }
            uint8_t value = setup.wValue & 0xFF;
            if (value != 0 && value != descriptors_.configuration.value)
                return Handshake::Stall;
            configuration_ = value;
            halted_.clear();
            return Handshake::Ack;
        }
        case kGetInterface:
            if (!toHost || recipient != kRecipientInterface || !configured || setup.wLength == 0 ||
                !InterfaceExists(setup.wIndex & 0xFF, 0)) {
                return Handshake::Stall;
            }
            data = {0};  // only alternate setting 0 exists
            return Handshake::Ack;
        case kSetInterface: {
            if (toHost || recipient != kRecipientInterface || !configured || setup.wLength != 0) {
                return Handshake::Stall;
            }
            uint8_t number = setup.wIndex & 0xFF;
            if (setup.wValue > 0xFF || !InterfaceExists(number, setup.wValue & 0xFF)) {
                return Handshake::Stall;
            }
            // Selecting a setting resets its endpoints, halts included.
            for (const InterfaceDescription& itf : descriptors_.configuration.interfaces) {
                if (itf.number != number)
                    continue;
                for (const EndpointDescription& ep : itf.endpoints)
                    halted_.erase(ep.address);
            }
            return Handshake::Ack;
        }
        default:
            return Handshake::Stall;  // SET_DESCRIPTOR, SYNCH_FRAME and unknown requests
    }
}

Handshake BridgeChip::GetDescriptor(const SetupPacket& setup, std::vector<uint8_t>& data) {
    const uint8_t type = setup.wValue >> 8;
    const uint8_t index = setup.wValue & 0xFF;
    switch (type) {
        case 1:
            if (index != 0)
                return Handshake::Stall;
            data = descriptors_.DeviceDescriptor();
            break;
        case 2:
            if (index != 0)
                return Handshake::Stall;
            data = descriptors_.ConfigurationDescriptor();
            break;
        case 3: {
            if (options_.stalledStrings.count(index))
                return Handshake::Stall;
            // Strings exist only in the languages listed in string 0.
            if (index != 0 &&
                std::find(descriptors_.languages.begin(), descriptors_.languages.end(),
                          setup.wIndex) == descriptors_.languages.end()) {
                return Handshake::Stall;
            }
            data = descriptors_.StringDescriptor(index);
            if (data.empty())
                return Handshake::Stall;
            break;
        }
        default:
            // Device qualifier and other-speed configuration included: a full-speed-only
            // device has neither.
            return Handshake::Stall;
    }
    return Handshake::Ack;  // Control() cuts the answer to wLength
}

size_t BridgeChip::FifoCapacity() const {
    return variant_ < 2 ? 256 : 512;
}

Handshake BridgeChip::Out(uint8_t endpoint, const uint8_t* data, size_t length) {
    if (bulkOut_ == 0 || endpoint != (bulkOut_ & 0x0F) || configuration_ == 0 ||
        EndpointHalted(bulkOut_)) {
        return Handshake::Stall;
    }
    return uart_->Out(data, length);
}

Handshake BridgeChip::In(uint8_t endpoint, uint8_t* buffer, size_t capacity, size_t* produced) {
    *produced = 0;
    if (configuration_ == 0 || !IsDataEndpoint(endpoint) || (endpoint & 0x80) == 0 ||
        EndpointHalted(endpoint)) {
        return Handshake::Stall;
    }
    if (endpoint == statusIn_)
        return uart_->StatusIn(buffer, capacity, produced);
    if (endpoint == bulkIn_)
        return uart_->BulkIn(buffer, capacity, produced);
    return Handshake::Stall;
}

void BridgeChip::InjectReceived(const std::vector<uint8_t>& bytes) {
    uart_->InjectReceived(bytes);
}

void BridgeChip::InjectStatus(uint16_t statusWord) {
    uart_->InjectStatus(statusWord);
}

std::vector<uint8_t> BridgeChip::TakeTransmitted(size_t max) {
    return uart_->TakeTransmitted(max);
}

size_t BridgeChip::TransmitFifoLevel() const {
    uart_->Sync();
    return uart_->TransmitFifoLevel();
}

size_t BridgeChip::ReceiveFifoLevel() const {
    uart_->Sync();
    return uart_->ReceiveFifoLevel();
}

size_t BridgeChip::PendingStatusPackets() const {
    uart_->Sync();
    return uart_->PendingStatusPackets();
}

UartCounters BridgeChip::Counters() const {
    uart_->Sync();
    return uart_->Counters();
}

bool BridgeChip::Plugged() const {
    return uart_->Plugged();
}

ModemInputs BridgeChip::Inputs() const {
    return uart_->Inputs();
}

bool BridgeChip::RtsLine() const {
    uart_->Sync();
    return uart_->RtsOut();
}

bool BridgeChip::DtrLine() const {
    uart_->Sync();
    return uart_->DtrOut();
}

bool BridgeChip::ReceiveHold() const {
    uart_->Sync();
    return uart_->ReceiveHold();
}

bool BridgeChip::XoffReceived() const {
    uart_->Sync();
    return uart_->XoffReceived();
}

}  // namespace sim
