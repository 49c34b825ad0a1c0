// The vendor register file on endpoint 0, the configuration memory behind
// registers 3 and 4, and the reading of the flow-control registers. The meaning of
// every bit is in sim/chip/REGISTERS.md.
#include <sim/bridge_chip.h>

#include <algorithm>

#include "bridge_uart.h"

namespace sim {
namespace {

constexpr uint8_t kVendorOut = 0x40;
constexpr uint8_t kVendorIn = 0xC0;
constexpr uint8_t kRegisterRequest = 1;

constexpr uint8_t kMemoryWriteRegister = 3;
constexpr uint8_t kMemorySelectRegister = 4;
constexpr uint8_t kFifoReleaseRegister = 8;
constexpr uint8_t kFifoResetRegister = 9;

// A maker's record in configuration memory: marker word, product word, then the
// power-on values of registers 0, 1 and 2.
constexpr size_t kRecordSize = 7;

// Where each variant keeps its record (the first slot is where a programmed chip
// has it). Variant 3 has room for several records and takes the first valid one.
std::vector<uint8_t> RecordSlots(int variant) {
    if (variant == 3)
        return {32, 64, 96, 128, 160};
    if (variant == 4)
        return {96};
    return {0};
}

// Where each variant looks for a record at power-on: its own slots, then, on
// variants 3 and 4, address 0, where the older variants keep theirs. The driver
// counts a record at address 0 as programmed on every variant, so a chip of
// either kind that holds one there loads its registers from it.
std::vector<uint8_t> PowerOnSlots(int variant) {
    std::vector<uint8_t> slots = RecordSlots(variant);
    if (variant >= 3)
        slots.push_back(0);
    return slots;
}

Ticks Now() {
    return Simulation::Exists() ? Simulation::Current().Now() : 0;
}

}  // namespace

void BridgeChip::InitialiseConfigMemory() {
    if (options_.configMemoryImage) {
        memory_ = *options_.configMemoryImage;
        return;
    }
    memory_.fill(0xFF);
    if (!options_.configMemoryProgrammed)
        return;
    std::vector<uint8_t> places = options_.markerAddresses
                                      ? *options_.markerAddresses
                                      : std::vector<uint8_t>{RecordSlots(variant_).front()};
    const uint8_t record[kRecordSize] = {
        static_cast<uint8_t>(kConfigMemoryMarker & 0xFF),
        static_cast<uint8_t>(kConfigMemoryMarker >> 8),
        static_cast<uint8_t>(kProductId & 0xFF),
        static_cast<uint8_t>(kProductId >> 8),
        0x01,                                              // register 0: UART on, no flow control
        0x00,                                              // register 1
        static_cast<uint8_t>(variant_ < 2 ? 0x24 : 0x44),  // register 2: receive levels
    };
    for (uint8_t place : places) {
        for (size_t i = 0; i < kRecordSize && place + i < kConfigMemorySize; ++i) {
            memory_[place + i] = record[i];
        }
    }
}

void BridgeChip::LoadPowerOnRegisters() {
    registers_.fill(0);
    registers_[5] = 0x1311;  // XOFF 0x13 in the high byte, XON 0x11 in the low byte
    registers_[7] = static_cast<uint16_t>(0x10 * variant_);
    registers_[0x0B] = 16;  // receive latency, milliseconds
    // Without a valid record registers 0-2 stay 0, so the UART is off until the host
    // writes them.
    for (uint8_t slot : PowerOnSlots(variant_)) {
        uint16_t word = static_cast<uint16_t>(memory_[slot] | (memory_[slot + 1] << 8));
        if (word != kConfigMemoryMarker)
            continue;
        registers_[0] = memory_[slot + 4];
        registers_[1] = memory_[slot + 5];
        registers_[2] = memory_[slot + 6];
        break;
    }
    for (const auto& [reg, value] : options_.registerPowerOnValues) {
        registers_[reg & 0x0F] = value;
    }
    memoryLatch_ = previousLatch_ = 0xFF;
}

bool BridgeChip::RegisterExists(uint8_t reg) const {
    if (reg <= 4)
        return true;
    if (reg <= 9 || reg == 0x0B)
        return variant_ >= 2;
    if (reg >= 0x0C && reg <= 0x0F)
        return variant_ >= 3;
    return false;
}

Handshake BridgeChip::Vendor(const SetupPacket& setup, std::vector<uint8_t>& data) {
    if (setup.bRequest != kRegisterRequest)
        return Handshake::Stall;
    if (setup.bmRequestType != kVendorOut && setup.bmRequestType != kVendorIn) {
        return Handshake::Stall;
    }
    const uint8_t code = setup.wValue & 0xFF;
    if ((setup.wValue >> 8) != code)
        return Handshake::Stall;
    const bool read = setup.bmRequestType == kVendorIn;
    // Reads name the register with bit 7 set; a write code with it set, or a read code
    // without it, is a malformed request.
    if (((code & 0x80) != 0) != read)
        return Handshake::Stall;
    const uint8_t reg = code & 0x7F;
    if (reg >= kRegisterCount || !RegisterExists(reg))
        return Handshake::Stall;
    if (read) {
        if (setup.wLength == 0)
            return Handshake::Stall;
        return ReadRegister(reg, setup.wLength, data);
    }
    if (setup.wLength != 0)
        return Handshake::Stall;
    return WriteRegister(reg, setup.wIndex);
}

bool BridgeChip::ConfigMemoryBusy() const {
    return Now() < memoryBusyUntil_;
}

void BridgeChip::StartMemoryCycle() {
    memoryBusyUntil_ = Now() + options_.configMemoryBusyTime;
}

uint8_t BridgeChip::ReadableLatch() const {
    return ConfigMemoryBusy() ? previousLatch_ : memoryLatch_;
}

Handshake BridgeChip::WriteRegister(uint8_t reg, uint16_t value) {
    registers_[reg] = value;
    switch (reg) {
        case kMemoryWriteRegister:
            // The memory does not queue: an access while it is busy is acknowledged
            // and lost.
            if (ConfigMemoryBusy()) {
                ++refusedAccesses_;
                break;
            }
            memory_[value & 0xFF] = static_cast<uint8_t>(value >> 8);
            StartMemoryCycle();
            break;
        case kMemorySelectRegister:
            if (ConfigMemoryBusy()) {
                ++refusedAccesses_;
                break;
            }
            previousLatch_ = memoryLatch_;
            memoryLatch_ = memory_[value & 0xFF];
            StartMemoryCycle();
            break;
        case kFifoResetRegister:
            fifoReset_ = true;
            uart_->HoldFifosInReset(true);
            break;
        case kFifoReleaseRegister:
            fifoReset_ = false;
            uart_->HoldFifosInReset(false);
            break;
        default:
            break;
    }
    Changed(ChipSetting::Register);
    return Handshake::Ack;
}

Handshake BridgeChip::ReadRegister(uint8_t reg, uint16_t length, std::vector<uint8_t>& data) {
    uint16_t value = registers_[reg];
    switch (reg) {
        case kMemoryWriteRegister:
            value = ReadableLatch();
            break;
        case kMemorySelectRegister:
            value = ConfigMemoryBusy() ? 0x01 : 0x00;
            if (value)
                ++busyAnswers_;
            break;
        case kFifoReleaseRegister:
        case kFifoResetRegister:
            value = fifoReset_ ? 0x01 : 0x00;
            break;
        default:
            break;
    }
    data = {static_cast<uint8_t>(value & 0xFF), static_cast<uint8_t>(value >> 8)};
    data.resize(std::min<size_t>(length, 2));
    return Handshake::Ack;
}

FlowControl BridgeChip::DecodedFlowControl() const {
    const uint8_t reg0 = registers_[0] & 0xFF;
    const uint8_t reg1 = registers_[1] & 0xFF;
    const uint8_t reg2 = registers_[2] & 0xFF;
    const bool dsrPair = variant_ >= 3;  // register 1's handshake bits exist on 3 and 4

    FlowControl flow;
    flow.uartEnabled = (reg0 & 0x01) != 0;
    switch (reg0 >> 6) {
        case 1:
            if ((reg0 & 0x08) == 0) {
                flow.transmitGatedByCts = true;
            } else {
                flow.transmitGatedByDsr = !dsrPair || (reg1 & 0x04) != 0;
                flow.transmitGatedByCts = (reg0 & 0x10) != 0 || (dsrPair && (reg1 & 0x02) != 0);
            }
            break;
        case 3:
            flow.xonXoff = true;
            break;
        default:
            break;
    }
    flow.rtsFollowsReceiveLevel = (reg0 & 0x20) != 0;
    flow.dtrFollowsReceiveLevel = dsrPair && (reg1 & 0x01) != 0;
    if (variant_ >= 2) {
        flow.xonChar = static_cast<uint8_t>(registers_[5] & 0xFF);
        flow.xoffChar = static_cast<uint8_t>(registers_[5] >> 8);
    }
    flow.stopLevel = FifoCapacity() - 16u * (reg2 & 0x0F);
    flow.resumeLevel = 16u * (reg2 >> 4);
    return flow;
}

}  // namespace sim
