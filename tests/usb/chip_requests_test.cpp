// The chip's setup requests as the chip receives them: baud rate and framing,
// control lines and break, registers through their shadow, the defaults of a
// blank chip, the flow-control hand-off and re-sending every setting.
#include "tests/support/usb_port_harness.h"

#include <algorithm>
#include <memory>
#include <string>

namespace {

using sim::kMillisecond;
using simtest::SimTest;
using simtest::UsbPortHarness;

class ChipRequestTest : public simtest::ConfiguredPortTest {
  protected:
    void TearDown() override {
        ExtBaudrateCount = 0;
        ConfiguredPortTest::TearDown();
    }
    sim::Simulation& Sim() { return sim_; }
    // wValue of every vendor request with this bmRequestType, in order.
    std::vector<USHORT> VendorValues(uint8_t requestType) const {
        std::vector<USHORT> out;
        for (const sim::SetupPacket& s : h->ChipSetups())
            if (s.bmRequestType == requestType)
                out.push_back(s.wValue);
        return out;
    }
    std::vector<USHORT> SelectedAddresses() const {
        std::vector<USHORT> out;
        for (const sim::SetupPacket& s : h->ChipSetups())
            if (s.bmRequestType == 0x40 && s.wValue == 0x0404)
                out.push_back(s.wIndex);
        return out;
    }
};

TEST_F(ChipRequestTest, BaudRateIsMatchedSentOnceAndGivenTimeToSettle) {
    Plug(2);
    ASSERT_EQ(SetLineControl(port), STATUS_SUCCESS);
    h->ClearRecords();
    EXPECT_EQ(SetBaudRate(port, 9601), STATUS_SUCCESS);
    ASSERT_EQ(h->Records().size(), 1u);
    EXPECT_EQ(h->chip().Line().rateField, 9600u);
    EXPECT_EQ(port->CurrentBaud, 9600u);
    // The settling delay ends on the first clock tick 50 ms after the request.
    EXPECT_EQ(sim_.Now(), sim_.TickAtOrAfter(h->Records()[0].completed + 50 * kMillisecond));
    const sim::Ticks before = sim_.Now();
    EXPECT_EQ(SetBaudRate(port, 9600), STATUS_SUCCESS);
    EXPECT_EQ(h->Records().size(), 1u) << "the same rate again sends nothing";
    EXPECT_EQ(sim_.Now(), before);
    port->LineControl = 0x1B;
    ASSERT_EQ(SetLineControl(port), STATUS_SUCCESS);
    EXPECT_EQ(h->chip().Line().Record(), (std::array<uint8_t, 7>{0x80, 0x25, 0, 0, 0, 2, 8}))
        << "a framing change keeps the rate";

    struct Case {
        ULONG request, field, current, chunk;
    };
    for (const Case& c :
         {Case{7000000, 0x80000040, 6000000, 0x1000}, Case{115200, 115200, 115200, 0x1000},
          Case{57600, 57600, 57600, 0x100}, Case{20, 0, 0, 0x100}}) {
        EXPECT_EQ(SetBaudRate(port, c.request), STATUS_SUCCESS) << c.request;
        EXPECT_EQ(h->chip().Line().rateField, c.field) << c.request;
        EXPECT_EQ(port->CurrentBaud, c.current) << c.request;
        EXPECT_EQ(port->MaxWriteChunk, c.chunk) << c.request;
    }
    EXPECT_EQ(h->chip().Line().dataBits, 8) << "a rate change keeps the framing";

    ExtBaudrateList[0] = {250000, 0x80000468};
    ExtBaudrateCount = 1;
    EXPECT_EQ(SetBaudRate(port, 250000), STATUS_SUCCESS);
    EXPECT_EQ(h->chip().Line().rateField, 0x80000468u);
    EXPECT_EQ(port->CurrentBaud, 250000u);
    EXPECT_TRUE(port->ExtBaudMatched);

    // A refused request still moves the port to the rate; the next one re-sends.
    sim::UrbMatch lineCoding;
    lineCoding.request = 0x20;
    h->usb().StallNext(lineCoding);
    EXPECT_FALSE(NT_SUCCESS(SetBaudRate(port, 4800)));
    EXPECT_EQ(port->CurrentBaud, 4800u);
    const size_t sent = h->Records().size();
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    EXPECT_EQ(SetBaudRate(port, 2400), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(SetLineControl(port), STATUS_UNSUCCESSFUL);
    KeLowerIrql(irql);
    EXPECT_EQ(h->Records().size(), sent);
    EXPECT_EQ(port->CurrentBaud, 4800u);

    // The chip never took 4800: asking for it again sends it, once it is taken
    // nothing more; a refused framing change likewise leaves the next rate
    // request of the same rate to send the whole record.
    h->ClearRecords();
    EXPECT_EQ(SetBaudRate(port, 4800), STATUS_SUCCESS);
    ASSERT_EQ(h->Records().size(), 1u) << "a line coding the chip refused is sent again";
    EXPECT_EQ(h->chip().Line().rateField, 4800u);
    EXPECT_EQ(SetBaudRate(port, 4800), STATUS_SUCCESS);
    EXPECT_EQ(h->Records().size(), 1u);
    port->LineControl = 0x03;
    h->usb().StallNext(lineCoding);
    EXPECT_FALSE(NT_SUCCESS(SetLineControl(port)));
    EXPECT_EQ(SetBaudRate(port, 4800), STATUS_SUCCESS);
    EXPECT_EQ(h->Records().size(), 3u);
    EXPECT_EQ(h->chip().Line().parity, 0) << "the framing the chip refused arrives with the rate";
}

TEST_F(ChipRequestTest, ControlLinesBreakAndCommFeature) {
    Plug(2);
    EXPECT_TRUE(SetDtr(port));
    EXPECT_TRUE(SetRts(port));
    EXPECT_TRUE(h->chip().Lines().dtr && h->chip().Lines().rts);
    EXPECT_TRUE(ClearDtr(port));
    EXPECT_FALSE(h->chip().Lines().dtr);
    EXPECT_EQ(port->ControlLineState, 0x0002);

    // Where the caller cannot wait (receive flow control at DISPATCH_LEVEL) the
    // line still changes: the request goes without waiting.
    const size_t sent = h->Records().size();
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    EXPECT_TRUE(SetDtr(port));
    KeLowerIrql(irql);
    EXPECT_EQ(port->ControlLineState, 0x0003);
    sim_.RunFor(5 * kMillisecond);
    EXPECT_EQ(h->Records().size(), sent + 1);
    EXPECT_TRUE(h->chip().Lines().dtr);
    EXPECT_TRUE(ClearDtr(port));

    EXPECT_EQ(SetBreak(port, true), STATUS_SUCCESS);
    EXPECT_TRUE(h->chip().BreakOn());
    EXPECT_EQ(SetBreak(port, false), STATUS_SUCCESS);
    EXPECT_FALSE(h->chip().BreakOn());
    const std::vector<sim::SetupPacket> setups = h->ChipSetups();
    ASSERT_GE(setups.size(), 2u);
    EXPECT_EQ(setups[setups.size() - 2].wValue, 0xFFFF);
    EXPECT_EQ(setups.back().wValue, 0x0000);

    EXPECT_EQ(SetCommFeature(port, nullptr), STATUS_INVALID_PARAMETER);
    const USHORT feature = 0x1234;
    EXPECT_EQ(SetCommFeature(port, &feature), STATUS_SUCCESS);
    EXPECT_EQ(h->chip().CommFeature(), 0x1234);
}

TEST_F(ChipRequestTest, RegisterShadowKeepsItsValueWhenAReadFails) {
    sim::BridgeChipOptions options;
    options.registerPowerOnValues = {{1, 0x08}};
    Plug(4, options);
    EXPECT_TRUE(ReadRegister(port, 2));
    EXPECT_EQ(port->ChipRegisterShadow[2], 0x44);
    port->ChipRegisterShadow[2] = 0x5A;
    sim::UrbMatch vendor;
    vendor.function = URB_FUNCTION_VENDOR_DEVICE;
    h->usb().StallNext(vendor);
    EXPECT_TRUE(ReadRegister(port, 2));
    EXPECT_EQ(port->ChipRegisterShadow[2], 0x5A);

    // This chip's register 1 asks for the fixed register 0 of the hand-off.
    EXPECT_TRUE(ReadRegister(port, 1));
    EXPECT_TRUE(port->ForceRegister0);
    EXPECT_EQ(SetRtsFlowInChip(port, true), STATUS_SUCCESS);
    EXPECT_EQ(h->chip().Register(0), 0x31);
}

// The read before a handshake change fails: a shadow that has held the chip's
// word stands in, but one never filled must not be written back (its zeros
// would switch the UART off); the change then answers the read's failure.
TEST_F(ChipRequestTest, AChangeIsNotWrittenFromAShadowThatNeverHeldTheChipsWord) {
    Plug(3);
    const uint16_t before = h->chip().Register(0);
    ASSERT_EQ(before & 0x01, 0x01) << "the UART runs";
    port->ChipRegistersKnown = 0;
    port->ChipRegisterShadow[0] = 0;
    sim::UrbMatch vendor;
    vendor.function = URB_FUNCTION_VENDOR_DEVICE;
    h->usb().StallNext(vendor);
    EXPECT_FALSE(NT_SUCCESS(SetCtsFlowInChip(port, false)));
    EXPECT_EQ(h->chip().Register(0), before) << "nothing written";
    h->usb().StallNext(vendor);
    EXPECT_FALSE(NT_SUCCESS(SetDsrFlowInChip(port, false)));
    EXPECT_EQ(h->chip().Register(1), 0x00);

    EXPECT_EQ(SetCtsFlowInChip(port, true), STATUS_SUCCESS);
    EXPECT_EQ(h->chip().Register(0), (before & 0x3F) | 0x40);
    h->usb().StallNext(vendor);
    EXPECT_EQ(SetCtsFlowInChip(port, false), STATUS_SUCCESS) << "the shadow holds what was written";
    EXPECT_EQ(h->chip().Register(0), before & 0x3F);
}

TEST_F(ChipRequestTest, BlankConfigurationMemoryGetsTheDefaultRegisters) {
    for (int variant = 0; variant < sim::BridgeChip::kVariantCount; ++variant) {
        SCOPED_TRACE(variant);
        sim::BridgeChipOptions blank;
        blank.configMemoryProgrammed = false;
        blank.registerPowerOnValues = {{1, 0xA5}};
        Plug(variant, blank);
        ApplyAllSettings(port);
        EXPECT_EQ(h->chip().Register(0), 0x01);
        EXPECT_EQ(h->chip().Register(1), variant == 4 ? 0xA0 : 0x00);
        EXPECT_EQ(h->chip().Register(2), variant >= 2 ? 0x44 : 0x24);
        EXPECT_TRUE(h->chip().RemoteWakeupEnabled());
        EXPECT_EQ(h->chip().Line().dataBits, 7);
        const std::vector<USHORT> blankWrites = VendorValues(0x40);
        EXPECT_EQ(std::count(blankWrites.begin(), blankWrites.end(), 0x0B0B), variant >= 2 ? 1 : 0);
        if (variant >= 2) {
            EXPECT_EQ(h->chip().Register(0x0B), 0x0002) << "start-up write";
        }

        // Programmed: no default registers. (The handshake of the default
        // handflow writes registers 0 and 1 of its own; register 2 only the
        // defaults touch.)
        Plug(variant);
        ApplyAllSettings(port);
        const std::vector<USHORT> writes = VendorValues(0x40);
        EXPECT_EQ(std::count(writes.begin(), writes.end(), 0x0202), 0) << "programmed";
    }
    // A chip not detected yet is not asked about its memory at all.
    port->ChipType = -1;
    h->ClearRecords();
    ApplyAllSettings(port);
    EXPECT_TRUE(SelectedAddresses().empty());
}

// The chip loads its registers from a record at power-on; the driver writes its
// defaults when it finds none. Both must agree wherever a record sits, or a chip
// that stayed at zero would be left without its defaults. A record at address 0
// counts on every variant.
TEST_F(ChipRequestTest, ChipAndDriverAgreeOnWhetherTheMemoryIsProgrammed) {
    const std::vector<uint8_t> places[] = {{}, {0}, {32}, {96}, {160}};
    for (int variant = 0; variant <= 4; ++variant) {
        for (const std::vector<uint8_t>& at : places) {
            SCOPED_TRACE("variant " + std::to_string(variant) + ", record at " +
                         (at.empty() ? std::string("none") : std::to_string(at[0])));
            sim::BridgeChipOptions options;
            options.configMemoryProgrammed = !at.empty();
            if (!at.empty())
                options.markerAddresses = at;
            Plug(variant, options);
            const bool loaded = h->chip().Register(2) != 0;
            EXPECT_EQ(ConfigMemoryProgrammed(port), loaded);
            if (at == std::vector<uint8_t>{0}) {
                EXPECT_TRUE(loaded) << "a record at address 0 counts on every variant";
            }
        }
    }
}

TEST_F(ChipRequestTest, ProgrammedMemoryIsFoundWhereEachVariantKeepsItsMarker) {
    struct Case {
        int variant;
        std::vector<uint8_t> markers;
        bool programmed;
        std::vector<USHORT> selected;
    };
    const Case cases[] = {
        {2, {0}, true, {0, 1}},
        {3, {160}, true, {0, 1, 32, 33, 64, 65, 96, 97, 128, 129, 160, 161}},
        {3, {64}, true, {0, 1, 32, 33, 64, 65}},
        {3, {0}, true, {0, 1, 32, 33, 64, 65, 96, 97, 128, 129, 160, 161}},
        {4, {96}, true, {0, 1, 96, 97}},
        {4, {32}, false, {0, 1, 96, 97}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.variant);
        sim::BridgeChipOptions options;
        options.markerAddresses = c.markers;
        Plug(c.variant, options);
        EXPECT_EQ(ConfigMemoryProgrammed(port), c.programmed);
        EXPECT_EQ(SelectedAddresses(), c.selected);
    }
}

TEST_F(ChipRequestTest, AutomaticXonXoffUsesTheShadowWhereTheCallerCannotWait) {
    Plug(2);
    EXPECT_EQ(SetAutoXonXoffInChip(port, true), STATUS_SUCCESS);
    EXPECT_EQ(VendorValues(0xC0), std::vector<USHORT>{0x8080});
    EXPECT_EQ(h->chip().Register(0), 0xC1);

    h->ClearRecords();
    port->ChipRegisterShadow[0] = 0xC5;
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    EXPECT_EQ(SetAutoXonXoffInChip(port, false), STATUS_SUCCESS);
    KeLowerIrql(irql);
    sim_.RunFor(5 * kMillisecond);
    EXPECT_TRUE(VendorValues(0xC0).empty()) << "no read";
    EXPECT_EQ(h->chip().Register(0), 0x05);

    Plug(1);
    EXPECT_EQ(SetAutoXonXoffInChip(port, true), STATUS_SUCCESS);
    EXPECT_EQ(SetRtsFlowInChip(port, true), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(SetDsrFlowInChip(port, true), STATUS_SUCCESS);
    EXPECT_TRUE(h->Records().empty()) << "the older chips keep flow control to the driver";
}

TEST_F(ChipRequestTest, HardwareHandshakesAreHandedToTheChip) {
    Plug(3);
    ApplyAllSettings(port);
    EXPECT_EQ(SetDsrFlowInChip(port, true), STATUS_SUCCESS);
    EXPECT_EQ(SetCtsFlowInChip(port, true), STATUS_SUCCESS);
    EXPECT_EQ(SetRtsFlowInChip(port, true), STATUS_SUCCESS);
    EXPECT_EQ(h->chip().Register(0), 0x69);
    EXPECT_EQ(h->chip().Register(1), 0x07);
    EXPECT_EQ(port->TxHoldReasons & (TX_HOLD_CTS | TX_HOLD_DSR), TX_HOLD_CTS | TX_HOLD_DSR)
        << "both lines are low";
    port->ModemStatusWord = 0x0080;
    EXPECT_EQ(SetCtsFlowInChip(port, true), STATUS_SUCCESS);
    EXPECT_EQ(port->TxHoldReasons & TX_HOLD_CTS, 0u) << "CTS is already up";

    EXPECT_EQ(SetCtsFlowInChip(port, false), STATUS_SUCCESS);
    EXPECT_EQ(SetDsrFlowInChip(port, false), STATUS_SUCCESS);
    EXPECT_EQ(SetRtsFlowInChip(port, false), STATUS_SUCCESS);
    EXPECT_EQ(h->chip().Register(0), 0x01);
    EXPECT_EQ(h->chip().Register(1) & 0x07, 0);
    EXPECT_EQ(port->TxHoldReasons & (TX_HOLD_CTS | TX_HOLD_DSR), 0u);
}

// A register write the chip refuses leaves the hand-off where the chip is: the
// operation answers the failure, and the in-chip flags and the transmit holds
// that follow them do not change.
TEST_F(ChipRequestTest, RefusedRegisterWritesLeaveTheHandOffWhereTheChipIs) {
    Plug(3);
    ApplyAllSettings(port);
    auto registerWrite = [](USHORT wValue) {
        sim::UrbMatch m;
        m.function = URB_FUNCTION_VENDOR_DEVICE;
        m.predicate = [wValue](const sim::UrbSummary& u) {
            return u.setup.bmRequestType == 0x40 && u.setup.wValue == wValue;
        };
        return m;
    };
    const USBD_STATUS refused = USBD_STATUS_STALL_PID;

    h->usb().FailNext(registerWrite(0x0000), refused);
    EXPECT_FALSE(NT_SUCCESS(SetRtsFlowInChip(port, true)));
    EXPECT_EQ(port->RtsFlowInChip, 0);
    h->usb().FailNext(registerWrite(0x0000), refused);
    EXPECT_FALSE(NT_SUCCESS(SetCtsFlowInChip(port, true)));
    EXPECT_EQ(port->CtsFlowInChip, 0);
    EXPECT_EQ(port->TxHoldReasons & TX_HOLD_CTS, 0u) << "no hold for a gate the chip does not keep";
    h->usb().FailNext(registerWrite(0x0101), refused);
    EXPECT_FALSE(NT_SUCCESS(SetDsrFlowInChip(port, true)));
    EXPECT_EQ(port->DsrFlowInChip, 0);
    EXPECT_EQ(port->TxHoldReasons & TX_HOLD_DSR, 0u);
    EXPECT_EQ(h->chip().Register(0), 0x01) << "the chip performs no handshake";

    EXPECT_EQ(SetCtsFlowInChip(port, true), STATUS_SUCCESS);
    EXPECT_EQ(port->CtsFlowInChip, 1);
    h->usb().FailNext(registerWrite(0x0000), refused);
    EXPECT_FALSE(NT_SUCCESS(SetCtsFlowInChip(port, false)));
    EXPECT_EQ(port->CtsFlowInChip, 1) << "the chip still gates on CTS";
    EXPECT_EQ(h->chip().Register(0) & 0xC0, 0x40);
    EXPECT_EQ(SetCtsFlowInChip(port, false), STATUS_SUCCESS);
    EXPECT_EQ(port->CtsFlowInChip, 0);
}

}  // namespace
