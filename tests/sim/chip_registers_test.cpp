// The chip model's vendor register protocol: which registers each variant has,
// how requests are addressed, the echo register, what registers 0, 1, 2 and 5 mean
// to the UART, the FIFO reset commands, and the configuration memory behind
// registers 3 and 4 with its busy bit in virtual time.
#include "tests/sim/chip_test_host.h"
#include "tests/support/sim_fixture.h"

#include <set>
#include <vector>

namespace {

using chiptest::ChipHost;
using chiptest::Options;
using sim::Handshake;
using sim::kMillisecond;

class ChipRegisters : public simtest::SimTest {};
class ChipConfigMemory : public simtest::SimTest {};

constexpr uint16_t kMarker = VODREK_CONFIG_MEMORY_MARKER;

std::set<int> ExpectedRegisters(int variant) {
    std::set<int> regs = {0, 1, 2, 3, 4};
    if (variant >= 2)
        regs.insert({5, 6, 7, 8, 9, 0x0B});
    if (variant >= 3)
        regs.insert({0x0C, 0x0D, 0x0E, 0x0F});
    return regs;
}

TEST_F(ChipRegisters, EachVariantAnswersItsOwnRegistersAndStallsTheRest) {
    for (int variant = 0; variant < sim::BridgeChip::kVariantCount; ++variant) {
        sim::BridgeChip chip(variant);
        ChipHost host{chip};
        const std::set<int> expected = ExpectedRegisters(variant);
        for (int reg = 0; reg < 0x80; ++reg) {
            const bool present = expected.count(reg) != 0;
            EXPECT_EQ(host.ReadRegister(static_cast<uint8_t>(reg), 1).has_value(), present)
                << "variant " << variant << " read " << reg;
            // Register 3 and 4 writes touch the memory; keep them away from it here.
            if (reg == 3 || reg == 4)
                continue;
            EXPECT_EQ(host.WriteRegister(static_cast<uint8_t>(reg), 0) == Handshake::Ack, present)
                << "variant " << variant << " write " << reg;
        }
    }
}

TEST_F(ChipRegisters, MalformedVendorRequestsStall) {
    sim::BridgeChip chip(4);
    ChipHost host{chip};
    EXPECT_EQ(host.Out(0x40, 1, 0x0506, 0x1234), Handshake::Stall) << "bytes of wValue differ";
    EXPECT_FALSE(host.In(0xC0, 1, 0x8586, 0, 2));
    EXPECT_FALSE(host.In(0xC0, 1, 0x8685, 0, 2));
    EXPECT_EQ(host.Out(0x40, 1, 0x8585, 0x1234), Handshake::Stall) << "read code written";
    EXPECT_FALSE(host.In(0xC0, 1, 0x0505, 0, 2)) << "write code read";
    EXPECT_EQ(host.Out(0x40, 2, 0x0505, 0x1234), Handshake::Stall) << "only bRequest 1";
    EXPECT_EQ(host.Out(0x41, 1, 0x0505, 0x1234), Handshake::Stall) << "device recipient only";
    EXPECT_EQ(host.Out(0x40, 1, 0x0505, 0x1234, {1}), Handshake::Stall) << "writes carry no data";
    EXPECT_FALSE(host.In(0xC0, 1, 0x8585, 0, 0)) << "a read needs a data stage";
    EXPECT_EQ(chip.Register(5), 0x1311) << "nothing above reached the register";
}

TEST_F(ChipRegisters, WordsReadBackLowByteFirst) {
    sim::BridgeChip chip(3);
    ChipHost host{chip};
    EXPECT_EQ(host.WriteRegister(0x0D, 0xBEEF), Handshake::Ack);
    EXPECT_EQ(host.ReadRegister(0x0D, 2), (std::vector<uint8_t>{0xEF, 0xBE}));
    EXPECT_EQ(host.ReadRegister(0x0D, 1), (std::vector<uint8_t>{0xEF}));
    EXPECT_EQ(host.ReadRegister(0x0D, 8), (std::vector<uint8_t>{0xEF, 0xBE})) << "two at most";
    EXPECT_EQ(chip.Register(0x0D), 0xBEEF);
    // The XON/XOFF register in the form the driver writes it: XOFF high, XON low.
    host.WriteRegister(5, 0x9391);
    EXPECT_EQ(host.ReadWord(5), 0x9391);
    EXPECT_EQ(chip.DecodedFlowControl().xonChar, 0x91);
    EXPECT_EQ(chip.DecodedFlowControl().xoffChar, 0x93);
}

TEST_F(ChipRegisters, EchoRegisterAnswersTheDriversProbe) {
    for (int variant = 2; variant < sim::BridgeChip::kVariantCount; ++variant) {
        sim::BridgeChip chip(variant);
        ChipHost host{chip};
        ASSERT_EQ(host.WriteRegister(6, 0x00AA), Handshake::Ack);
        auto echo = host.ReadRegister(6, 2);
        ASSERT_TRUE(echo);
        EXPECT_EQ(*echo, (std::vector<uint8_t>{0xAA, 0x00}));
        host.WriteRegister(6, 0x5A3C);
        EXPECT_EQ(host.ReadWord(6), 0x5A3C);
        host.WriteRegister(6, 0);
        EXPECT_EQ(host.ReadWord(6), 0);
    }
}

TEST_F(ChipRegisters, PowerOnValuesComeFromTheMakersRecord) {
    for (int variant = 0; variant < sim::BridgeChip::kVariantCount; ++variant) {
        sim::BridgeChip chip(variant);
        ChipHost host{chip};
        EXPECT_EQ(host.ReadWord(0), 0x01);
        EXPECT_EQ(host.ReadWord(1), 0x00);
        EXPECT_EQ(host.ReadWord(2), variant < 2 ? 0x24 : 0x44) << "variant " << variant;
        if (variant >= 2) {
            EXPECT_EQ(host.ReadWord(5), 0x1311);
            auto revision = host.ReadRegister(7, 2);
            ASSERT_TRUE(revision);
            EXPECT_NE((*revision)[0], 0) << "a zero here reads as a missing chip";
        }
        sim::BridgeChip blank(variant, Options([](auto& o) { o.configMemoryProgrammed = false; }));
        EXPECT_EQ(blank.Register(0), 0) << "no record: the UART stays off until written";
        EXPECT_EQ(blank.Register(2), 0);
        EXPECT_FALSE(blank.DecodedFlowControl().uartEnabled);
    }
    sim::BridgeChip quirky(4, Options([](auto& o) { o.registerPowerOnValues = {{1, 0x08}}; }));
    ChipHost host{quirky};
    EXPECT_EQ(host.ReadRegister(1, 1), std::vector<uint8_t>{0x08});
    EXPECT_EQ(quirky.Register(0), 0x01) << "only the named register is overridden";
}

struct FlowCase {
    int variant;
    uint8_t reg0, reg1;
    bool uart, cts, dsr, xon, rtsAuto, dtrAuto;
};

TEST_F(ChipRegisters, FlowControlIsReadFromTheValuesTheDriverWrites) {
    const FlowCase cases[] = {
        // variant reg0  reg1  uart   cts    dsr    xon    rts    dtr
        {2, 0x01, 0x00, true, false, false, false, false, false},  // defaults
        {2, 0x00, 0x00, false, false, false, false, false, false},
        {2, 0x41, 0x00, true, true, false, false, false, false},  // CTS handshake
        {0, 0x41, 0x00, true, true, false, false, false, false},
        {2, 0x21, 0x00, true, false, false, false, true, false},  // RTS handshake
        {2, 0x61, 0x00, true, true, false, false, true, false},
        {2, 0xC1, 0x00, true, false, false, true, false, false},  // automatic XON/XOFF
        {2, 0xE1, 0x00, true, false, false, true, true, false},
        {4, 0x49, 0x05, true, false, true, false, false, true},    // DSR/DTR handshake
        {4, 0x59, 0x07, true, true, true, false, false, true},     // ... with CTS
        {4, 0x69, 0x07, true, true, true, false, true, true},      // ... and RTS
        {3, 0x49, 0x00, true, false, false, false, false, false},  // DSR not enabled in reg 1
        {2, 0x49, 0x05, true, false, true, false, false, false},   // no DTR pair before 3
        {4, 0x31, 0x00, true, false, false, false, true, false},   // the forced value
    };
    for (const FlowCase& c : cases) {
        sim::BridgeChip chip(c.variant);
        ChipHost host{chip};
        host.WriteRegister(1, c.reg1);
        host.WriteRegister(0, c.reg0);
        const sim::FlowControl f = chip.DecodedFlowControl();
        const std::string what = "variant " + std::to_string(c.variant) + " reg0 " +
                                 std::to_string(c.reg0) + " reg1 " + std::to_string(c.reg1);
        EXPECT_EQ(f.uartEnabled, c.uart) << what;
        EXPECT_EQ(f.transmitGatedByCts, c.cts) << what;
        EXPECT_EQ(f.transmitGatedByDsr, c.dsr) << what;
        EXPECT_EQ(f.xonXoff, c.xon) << what;
        EXPECT_EQ(f.rtsFollowsReceiveLevel, c.rtsAuto) << what;
        EXPECT_EQ(f.dtrFollowsReceiveLevel, c.dtrAuto) << what;
    }
}

TEST_F(ChipRegisters, ReceiveLevelsComeFromRegister2) {
    sim::BridgeChip older(1);
    sim::BridgeChip newer(2);
    EXPECT_EQ(older.DecodedFlowControl().stopLevel, older.FifoCapacity() - 64);
    EXPECT_EQ(older.DecodedFlowControl().resumeLevel, 32u);
    EXPECT_EQ(newer.DecodedFlowControl().stopLevel, newer.FifoCapacity() - 64);
    EXPECT_EQ(newer.DecodedFlowControl().resumeLevel, 64u);
    ChipHost host{newer};
    host.WriteRegister(2, 0x00);
    EXPECT_EQ(newer.DecodedFlowControl().stopLevel, newer.FifoCapacity()) << "stop when full";
    EXPECT_EQ(newer.DecodedFlowControl().resumeLevel, 0u);
    EXPECT_EQ(older.DecodedFlowControl().xonChar, 0x11) << "fixed characters on the older chips";
    EXPECT_EQ(older.DecodedFlowControl().xoffChar, 0x13);
}

TEST_F(ChipRegisters, Registers9And8HoldTheFifosEmptyAndReleaseThem) {
    sim::BridgeChip chip(2);
    ChipHost host{chip};
    host.Configure();
    chip.InjectReceived({1, 2, 3});
    uint8_t byte = 0x42;
    chip.Out(0x02, &byte, 1);
    // What open sends: 0x0909, then 0x0808.
    EXPECT_EQ(host.WriteRegister(9, 0), Handshake::Ack);
    EXPECT_TRUE(chip.FifosHeldInReset());
    EXPECT_EQ(host.ReadRegister(9, 1), std::vector<uint8_t>{1});
    EXPECT_EQ(chip.ReceiveFifoLevel(), 0u);
    EXPECT_EQ(chip.TransmitFifoLevel(), 0u);
    chip.InjectReceived({4});
    EXPECT_EQ(chip.ReceiveFifoLevel(), 0u);
    EXPECT_EQ(chip.ReceivedBytesLost(), 1u);
    EXPECT_EQ(chip.Out(0x02, &byte, 1), Handshake::Ack);
    EXPECT_EQ(chip.TransmitFifoLevel(), 0u) << "swallowed while held";

    EXPECT_EQ(host.WriteRegister(8, 0), Handshake::Ack);
    EXPECT_FALSE(chip.FifosHeldInReset());
    EXPECT_EQ(host.ReadRegister(8, 1), std::vector<uint8_t>{0});
    chip.InjectReceived({5});
    EXPECT_EQ(chip.ReceiveFifoLevel(), 1u);
}

// The driver's programmed-memory test, from the word reads it makes.
bool LooksProgrammed(ChipHost& host, int chipType) {
    const uint16_t first = host.ReadMemoryWord(0);
    if (chipType == 3) {
        for (uint16_t address : {32, 64, 96, 128, 160}) {
            if (host.ReadMemoryWord(address) == kMarker)
                return true;
        }
        return false;
    }
    if (chipType == 4)
        return host.ReadMemoryWord(96) == kMarker;
    return first == kMarker;
}

TEST_F(ChipConfigMemory, MarkerSitsWhereEachVariantKeepsItAndBlankMemoryHasNone) {
    const uint8_t markerLow = kMarker & 0xFF, markerHigh = kMarker >> 8;
    for (int variant = 0; variant < sim::BridgeChip::kVariantCount; ++variant) {
        sim::BridgeChip chip(variant);
        const auto& memory = chip.ConfigMemory();
        const size_t at = variant == 3 ? 32 : variant == 4 ? 96 : 0;
        EXPECT_EQ(memory[at], markerLow) << "variant " << variant;
        EXPECT_EQ(memory[at + 1], markerHigh);
        if (variant >= 3) {
            // Not at address 0 as well, so only a search past it finds the mark.
            EXPECT_NE(memory[0] | memory[1] << 8, kMarker);
        }
        ChipHost host{chip};
        EXPECT_TRUE(LooksProgrammed(host, variant)) << "variant " << variant;

        sim::BridgeChip blank(variant, Options([](auto& o) { o.configMemoryProgrammed = false; }));
        for (uint8_t b : blank.ConfigMemory())
            ASSERT_EQ(b, 0xFF);
        ChipHost blankHost{blank};
        EXPECT_FALSE(LooksProgrammed(blankHost, variant)) << "variant " << variant;
    }
}

TEST_F(ChipConfigMemory, Variant3FindsARecordInAnyOfItsSlots) {
    sim::BridgeChip chip(3,
                         Options([](auto& o) { o.markerAddresses = std::vector<uint8_t>{128}; }));
    ChipHost host{chip};
    EXPECT_EQ(host.ReadMemoryWord(32), 0xFFFF);
    EXPECT_EQ(host.ReadMemoryWord(128), kMarker);
    EXPECT_TRUE(LooksProgrammed(host, 3));
    EXPECT_EQ(chip.Register(2), 0x44) << "power-on values loaded from the later slot";
}

TEST_F(ChipConfigMemory, WritesAndReadsGoThroughRegisters3And4) {
    sim::BridgeChip chip(2);
    ChipHost host{chip};
    chip.ClearControlLog();
    host.WriteMemory(0x10, {0xAB, 0xCD});
    std::vector<uint16_t> writes;
    for (const auto& r : chip.ChipRequests()) {
        if (r.setup.wValue == 0x0303)
            writes.push_back(r.setup.wIndex);
    }
    EXPECT_EQ(writes, (std::vector<uint16_t>{0xAB10, 0xCD11}));
    EXPECT_EQ(chip.ConfigMemory()[0x10], 0xAB);
    EXPECT_EQ(chip.ConfigMemory()[0x11], 0xCD);
    EXPECT_EQ(host.ReadMemory(0x10, 3), (std::vector<uint8_t>{0xAB, 0xCD, 0xFF}));
    // Only the low eight bits of a selection address the memory.
    EXPECT_EQ(host.ReadMemory(0x0111, 1), std::vector<uint8_t>{0xCD});
    EXPECT_EQ(host.ReadMemory(0xFFFF, 1), std::vector<uint8_t>{chip.ConfigMemory()[0xFF]});
    EXPECT_EQ(chip.ConfigMemoryAccessesRefused(), 0u) << "the polls kept every access in turn";
}

TEST_F(ChipConfigMemory, BusyBitClearsAfterTheModelledTime) {
    sim::BridgeChip chip(2, Options([](auto& o) { o.configMemoryBusyTime = 12 * kMillisecond; }));
    ChipHost host{chip};
    EXPECT_EQ(host.ReadRegister(4, 1), std::vector<uint8_t>{0}) << "idle at power-on";
    host.WriteRegister(3, 0x7700);
    EXPECT_EQ(host.ReadRegister(4, 1), std::vector<uint8_t>{1});
    sim_.RunFor(12 * kMillisecond - 1);
    EXPECT_EQ(host.ReadRegister(4, 1), std::vector<uint8_t>{1});
    sim_.RunFor(1);
    EXPECT_EQ(host.ReadRegister(4, 1), std::vector<uint8_t>{0});
    EXPECT_EQ(chip.ConfigMemoryBusyAnswers(), 2u);

    // The driver's poll waits 5 ms before each look: busy at 5 and 10, ready at 15.
    host.WriteRegister(4, 0x00);
    EXPECT_EQ(host.WaitMemoryReady(), 3);
    EXPECT_EQ(chip.ConfigMemoryBusyAnswers(), 4u);
    EXPECT_EQ(host.ReadRegister(3, 1), std::vector<uint8_t>{0x77});

    sim::BridgeChip quick(2, Options([](auto& o) { o.configMemoryBusyTime = 2 * kMillisecond; }));
    ChipHost quickHost{quick};
    quickHost.WriteRegister(3, 0x0101);
    EXPECT_EQ(quickHost.WaitMemoryReady(), 1) << "done before the first look";
    EXPECT_EQ(quick.ConfigMemoryBusyAnswers(), 0u);
}

TEST_F(ChipConfigMemory, AccessesWhileBusyAreLost) {
    sim::BridgeChip chip(4);
    ChipHost host{chip};
    host.WriteRegister(3, 0x1120);
    host.WriteRegister(3, 0x2221);  // no poll in between
    EXPECT_EQ(chip.ConfigMemory()[0x20], 0x11);
    EXPECT_EQ(chip.ConfigMemory()[0x21], 0xFF);
    EXPECT_EQ(chip.ConfigMemoryAccessesRefused(), 1u);

    host.WaitMemoryReady();
    host.WriteRegister(4, 0x20);
    host.WaitMemoryReady();
    EXPECT_EQ(host.ReadRegister(3, 1), std::vector<uint8_t>{0x11});
    host.WriteRegister(4, 0x21);
    EXPECT_EQ(host.ReadRegister(3, 1), std::vector<uint8_t>{0x11})
        << "the fetch is not done: the previous byte still answers";
    host.WriteRegister(4, 0x20);  // lost as well
    host.WaitMemoryReady();
    EXPECT_EQ(host.ReadRegister(3, 1), std::vector<uint8_t>{0xFF}) << "the byte at 0x21";
    EXPECT_EQ(chip.ConfigMemoryAccessesRefused(), 2u);
}

TEST_F(ChipConfigMemory, ARecordWrittenToBlankMemoryTakesEffectAtTheNextReset) {
    sim::BridgeChip chip(2, Options([](auto& o) { o.configMemoryProgrammed = false; }));
    ChipHost host{chip};
    EXPECT_EQ(chip.Register(0), 0);
    host.WriteMemory(0, {kMarker & 0xFF, kMarker >> 8, 0x01, 0x02, 0x01, 0x00, 0x44});
    EXPECT_EQ(chip.Register(0), 0) << "registers load at power-on only";
    chip.BusReset();
    EXPECT_EQ(chip.Register(0), 0x01);
    EXPECT_EQ(chip.Register(2), 0x44);
    EXPECT_TRUE(LooksProgrammed(host, 2));
}

}  // namespace
