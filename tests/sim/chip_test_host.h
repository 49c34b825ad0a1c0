// The host side of endpoint 0 for the chip model's tests: control transfers
// built as the bus would build them, and the driver's register and configuration
// memory procedures written out from the chip's wire protocol.
#pragma once

#include <sim/bridge_chip.h>
#include <sim/simulation.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace chiptest {

using sim::Handshake;

// Options with the given edits made, e.g. Options([](auto& o) { o.stalledStrings = {2}; }).
inline sim::BridgeChipOptions Options(const std::function<void(sim::BridgeChipOptions&)>& edit) {
    sim::BridgeChipOptions options;
    edit(options);
    return options;
}

// The chip's data and status endpoints as the bus would drive them, a packet at a
// time with no frame timing: what the UART tests need to fill and empty FIFOs.

// Bulk IN packets of 64 until a NAK (or `max` bytes); answers the bytes taken.
inline std::vector<uint8_t> Drain(sim::BridgeChip& chip, size_t max = SIZE_MAX) {
    std::vector<uint8_t> out;
    uint8_t buffer[64];
    size_t n = 0;
    while (out.size() < max &&
           chip.In(chip.BulkInEndpoint(), buffer, std::min<size_t>(sizeof buffer, max - out.size()),
                   &n) == Handshake::Ack &&
           n > 0) {
        out.insert(out.end(), buffer, buffer + n);
    }
    return out;
}

// Bulk OUT packets of 64 from `data[from]` on until the chip NAKs; answers the
// bytes it took. The chip takes a packet whole or not at all.
inline size_t Write(sim::BridgeChip& chip, const std::vector<uint8_t>& data, size_t from = 0) {
    size_t offset = from;
    while (offset < data.size()) {
        const size_t packet = std::min<size_t>(64, data.size() - offset);
        if (chip.Out(chip.BulkOutEndpoint(), data.data() + offset, packet) != Handshake::Ack)
            break;
        offset += packet;
    }
    return offset - from;
}

// Every status packet waiting, as the words in bytes 8 and 9; each must be a whole
// serial-state notification.
inline std::vector<uint16_t> StatusWords(sim::BridgeChip& chip) {
    std::vector<uint16_t> words;
    uint8_t packet[16];
    size_t n = 0;
    while (chip.In(chip.StatusEndpoint(), packet, 10, &n) == Handshake::Ack) {
        EXPECT_EQ(n, 10u);
        EXPECT_EQ(std::vector<uint8_t>(packet, packet + 8),
                  (std::vector<uint8_t>{0xA1, 0x20, 0, 0, 0, 0, 0x02, 0}));
        words.push_back(static_cast<uint16_t>(packet[8] | packet[9] << 8));
    }
    return words;
}

struct ChipHost {
    sim::BridgeChip& chip;

    // A device-to-host transfer: the bytes on success, nothing on a stall.
    std::optional<std::vector<uint8_t>> In(uint8_t type, uint8_t request, uint16_t value,
                                           uint16_t index, uint16_t length) {
        sim::SetupPacket setup{type, request, value, index, length};
        std::vector<uint8_t> data(5, 0xEE);  // whatever the bus left there
        if (chip.Control(setup, data) != Handshake::Ack)
            return std::nullopt;
        return data;
    }
    Handshake Out(uint8_t type, uint8_t request, uint16_t value, uint16_t index,
                  std::vector<uint8_t> data = {}) {
        sim::SetupPacket setup{type, request, value, index, static_cast<uint16_t>(data.size())};
        return chip.Control(setup, data);
    }

    std::optional<std::vector<uint8_t>> Descriptor(uint8_t type, uint8_t index, uint16_t length,
                                                   uint16_t language = 0) {
        return In(0x80, 6, static_cast<uint16_t>(type << 8 | index), language, length);
    }
    std::optional<std::vector<uint8_t>> String(uint8_t index, uint16_t length = 64) {
        return Descriptor(3, index, length, 0x0409);
    }
    Handshake Configure(uint8_t value = 1) { return Out(0x00, 9, value, 0); }

    // Vendor register protocol: the register number in both bytes of wValue, bit 7
    // set on both for a read.
    Handshake WriteRegister(uint8_t reg, uint16_t value) {
        return Out(0x40, 1, static_cast<uint16_t>(reg * 0x0101), value);
    }
    std::optional<std::vector<uint8_t>> ReadRegister(uint8_t reg, uint16_t length) {
        return In(0xC0, 1, static_cast<uint16_t>((reg | 0x80) * 0x0101), 0, length);
    }
    std::optional<uint16_t> ReadWord(uint8_t reg) {
        auto bytes = ReadRegister(reg, 2);
        if (!bytes || bytes->size() != 2)
            return std::nullopt;
        return static_cast<uint16_t>((*bytes)[0] | ((*bytes)[1] << 8));
    }

    // The driver's busy poll: 5 ms, then read 0x8484; busy while bit 0 is set.
    // Answers the polls it took.
    int WaitMemoryReady() {
        int polls = 0;
        for (;;) {
            sim::Simulation::Current().RunFor(5 * sim::kMillisecond);
            ++polls;
            auto status = ReadRegister(4, 1);
            if (!status || ((*status)[0] & 0x01) == 0)
                return polls;
        }
    }
    void WriteMemory(uint8_t address, const std::vector<uint8_t>& bytes) {
        for (size_t k = 0; k < bytes.size(); ++k) {
            WaitMemoryReady();
            WriteRegister(3, static_cast<uint16_t>(bytes[k] << 8 | ((address + k) & 0xFF)));
        }
    }
    std::vector<uint8_t> ReadMemory(uint16_t address, size_t count) {
        std::vector<uint8_t> out;
        for (size_t k = 0; k < count; ++k) {
            WaitMemoryReady();
            WriteRegister(4, static_cast<uint16_t>(address + k));
            WaitMemoryReady();
            auto byte = ReadRegister(3, 1);
            out.push_back(byte ? (*byte)[0] : 0);
        }
        return out;
    }
    uint16_t ReadMemoryWord(uint16_t address) {
        auto bytes = ReadMemory(address, 2);
        return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
    }

    // Class requests to interface 0.
    Handshake SetLineCoding(uint32_t rate, uint8_t stop, uint8_t parity, uint8_t data) {
        return Out(0x21, 0x20, 0, 0,
                   {static_cast<uint8_t>(rate), static_cast<uint8_t>(rate >> 8),
                    static_cast<uint8_t>(rate >> 16), static_cast<uint8_t>(rate >> 24), stop,
                    parity, data});
    }
};

}  // namespace chiptest
