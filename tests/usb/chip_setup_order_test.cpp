// The order in which the chip is set up: every setting sent again on a chip of a
// known type, and the default registers of a blank chip, with what happens when
// one of their requests fails or cannot be made.
#include "tests/support/usb_port_harness.h"

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

using simtest::kComxTag;

// Register values before the driver writes anything, none of them a default.
constexpr uint16_t kPowerOn[3] = {0xEE, 0xA5, 0xEE};

// The chip requests of a capture as short words. Configuration-memory traffic
// (busy polls, address selects, byte reads and writes) is one word however
// long it runs: only where it sits matters here.
std::vector<std::string> Steps(const std::vector<sim::UrbRecord>& records) {
    std::vector<std::string> out;
    char text[48];
    for (const sim::UrbRecord& r : records) {
        if (!r.hasSetup)
            continue;
        const sim::SetupPacket& s = r.setup;
        const bool memory =
            s.wValue == 0x8484 || s.wValue == 0x0404 || s.wValue == 0x8383 || s.wValue == 0x0303;
        if (s.bmRequestType == 0x40 && memory) {
            std::snprintf(text, sizeof text, "memory");
        } else if (s.bmRequestType == 0xC0 && memory) {
            std::snprintf(text, sizeof text, "memory");
        } else if (s.bmRequestType == 0x40) {
            std::snprintf(text, sizeof text, "write %02X=%04X", s.wValue & 0xFF, s.wIndex);
        } else if (s.bmRequestType == 0xC0) {
            std::snprintf(text, sizeof text, "read %02X", s.wValue & 0x7F);
        } else if (s.bmRequestType == 0x00 && s.bRequest == 0x03 && s.wValue == 0x0001) {
            std::snprintf(text, sizeof text, "remote wake-up");
        } else if (s.bmRequestType == 0x21 && s.bRequest == 0x20) {
            std::snprintf(text, sizeof text, "line coding");
        } else {
            std::snprintf(text, sizeof text, "%02X %02X %04X", s.bmRequestType, s.bRequest,
                          s.wValue);
        }
        if (out.empty() || out.back() != "memory" || std::string(text) != "memory")
            out.push_back(text);
    }
    return out;
}

std::vector<std::string> UpTo(const std::vector<std::string>& steps, const std::string& last) {
    std::vector<std::string> out;
    for (const std::string& s : steps) {
        out.push_back(s);
        if (s == last)
            break;
    }
    return out;
}

class ChipSetupOrderTest : public simtest::ConfiguredPortTest {
  protected:
    void PlugBlank(int variant, std::map<uint8_t, uint16_t> powerOn = {{1, 0xA5}}) {
        sim::BridgeChipOptions blank;
        blank.configMemoryProgrammed = false;
        blank.registerPowerOnValues = std::move(powerOn);
        Plug(variant, blank);
    }
    void TearDown() override {
        if (h)
            h->usb().Capture().SetListener(nullptr);
        sim::ClearPoolFaults();
        ConfiguredPortTest::TearDown();
    }
};

TEST_F(ChipSetupOrderTest, AllSettingsGoOutInTheirOrderOnAChipOfKnownType) {
    struct Case {
        int variant;
        bool blank;
        std::vector<std::string> throughLineCoding;
        bool startupWrite;
    };
    const Case cases[] = {
        {0,
         true,
         {"memory", "write 00=0001", "write 01=0000", "write 02=0024", "remote wake-up",
          "line coding"},
         false},
        {1,
         true,
         {"memory", "write 00=0001", "write 01=0000", "write 02=0024", "remote wake-up",
          "line coding"},
         false},
        {2,
         true,
         {"memory", "write 00=0001", "write 01=0000", "write 02=0044", "remote wake-up",
          "line coding"},
         true},
        {3,
         true,
         {"memory", "write 00=0001", "write 01=0000", "write 02=0044", "remote wake-up",
          "line coding"},
         true},
        // This chip keeps the upper half of its own register 1.
        {4,
         true,
         {"memory", "read 01", "write 00=0001", "write 01=00A0", "write 02=0044", "remote wake-up",
          "line coding"},
         true},
        {1, false, {"memory", "remote wake-up", "line coding"}, false},
        {3, false, {"memory", "remote wake-up", "line coding"}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("chip type " + std::to_string(c.variant) + (c.blank ? ", blank" : ""));
        if (c.blank)
            PlugBlank(c.variant);
        else
            Plug(c.variant);
        ApplyAllSettings(port);
        const std::vector<std::string> steps = Steps(h->Records());
        EXPECT_EQ(UpTo(steps, "line coding"), c.throughLineCoding);
        // The start-up write comes after everything else; the handshake and
        // status steps between may send requests of their own.
        size_t startups = 0;
        for (const std::string& s : steps)
            startups += s == "write 0B=0002";
        EXPECT_EQ(startups, c.startupWrite ? 1u : 0u);
        if (c.startupWrite) {
            EXPECT_EQ(steps.back(), "write 0B=0002");
        }
        EXPECT_EQ(h->chip().Line().dataBits, 7) << "the framing of the line coding went out";
    }
}

TEST_F(ChipSetupOrderTest, AChipOfUnknownTypeIsNotAskedAboutItsMemoryNorGivenTheStartupWrite) {
    PlugBlank(3);
    port->ChipType = -1;
    ApplyAllSettings(port);
    const std::vector<std::string> steps = Steps(h->Records());
    // The handshake of the default handflow follows; nothing about the memory,
    // and no start-up write.
    EXPECT_EQ(UpTo(steps, "line coding"), (std::vector<std::string>{"remote wake-up", "line coding"}));
    EXPECT_EQ(std::count(steps.begin(), steps.end(), "memory"), 0);
    EXPECT_EQ(std::count(steps.begin(), steps.end(), "write 0B=0002"), 0);
}

TEST_F(ChipSetupOrderTest, DefaultRegistersAreWrittenZeroOneTwo) {
    for (int variant = 0; variant < sim::BridgeChip::kVariantCount; ++variant) {
        SCOPED_TRACE(variant);
        PlugBlank(variant);
        EXPECT_EQ(WriteDefaultRegisters(port), STATUS_SUCCESS);
        const char* two = variant >= 2 ? "write 02=0044" : "write 02=0024";
        std::vector<std::string> expected = {"write 00=0001",
                                             variant == 4 ? "write 01=00A0" : "write 01=0000", two};
        if (variant == 4)
            expected.insert(expected.begin(), "read 01");
        EXPECT_EQ(Steps(h->Records()), expected);
        EXPECT_EQ(port->ChipRegisterShadow[0], 0x01);
        EXPECT_EQ(port->ChipRegisterShadow[1], variant == 4 ? 0xA0 : 0x00);
        EXPECT_EQ(port->ChipRegisterShadow[2], variant >= 2 ? 0x44 : 0x24);
    }
}

// A refused write does not stop the others, and the answer never calls a set of
// registers written when one of them was refused.
TEST_F(ChipSetupOrderTest, ARefusedDefaultRegisterIsReportedAndTheOthersAreStillWritten) {
    for (USHORT refused : {0x0000, 0x0101, 0x0202}) {
        SCOPED_TRACE(refused);
        PlugBlank(2, {{0, kPowerOn[0]}, {1, kPowerOn[1]}, {2, kPowerOn[2]}});
        sim::UrbMatch write;
        write.function = URB_FUNCTION_VENDOR_DEVICE;
        write.predicate = [refused](const sim::UrbSummary& u) {
            return !u.in && u.setup.wValue == refused;
        };
        h->usb().FailNext(write, USBD_STATUS_STALL_PID);
        EXPECT_FALSE(NT_SUCCESS(WriteDefaultRegisters(port)));
        EXPECT_EQ(Steps(h->Records()),
                  (std::vector<std::string>{"write 00=0001", "write 01=0000", "write 02=0044"}));
        for (UCHAR reg = 0; reg < 3; ++reg) {
            const uint16_t written = reg == 0 ? 0x01 : reg == 1 ? 0x00 : 0x44;
            const uint16_t expected = (refused & 0xFF) == reg ? kPowerOn[reg] : written;
            EXPECT_EQ(h->chip().Register(reg), expected) << "register " << int(reg);
        }
    }
}

// Without memory for a request the remaining writes are skipped: a blank chip is
// then not half written under a success.
TEST_F(ChipSetupOrderTest, AWriteThatCannotBeAllocatedEndsTheRun) {
    PlugBlank(2);
    // The one allocation after register 0's write is done fails: the request
    // for register 1. Register 2's could be had, but is not asked for.
    h->usb().Capture().SetListener([](const sim::UrbRecord& r) {
        if (r.hasSetup && r.setup.bmRequestType == 0x40 && r.setup.wValue == 0x0000)
            sim::FailNthPoolAllocation(1);
    });
    EXPECT_EQ(WriteDefaultRegisters(port), STATUS_INSUFFICIENT_RESOURCES);
    h->usb().Capture().SetListener(nullptr);
    sim::ClearPoolFaults();
    EXPECT_EQ(Steps(h->Records()), std::vector<std::string>{"write 00=0001"});
    EXPECT_EQ(h->chip().Register(1), 0xA5) << "not written";
    EXPECT_NE(h->chip().Register(2), 0x44) << "not written";

    // The chip that needs register 1 read first sends nothing when even that
    // request cannot be made.
    PlugBlank(4);
    sim::FailPoolAllocationsWithTag(kComxTag);
    EXPECT_EQ(WriteDefaultRegisters(port), STATUS_INSUFFICIENT_RESOURCES);
    sim::FailPoolAllocationsWithTag(kComxTag, false);
    EXPECT_TRUE(h->Records().empty());
}

}  // namespace
