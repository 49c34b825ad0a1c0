// The driver's own device controls as a configuration tool sees them: what each
// code puts on the wire, what it answers, the chip-type gates, the configuration
// memory's bounds and busy bit, and stopping and restarting the readers.
#include "tests/support/open_port.h"
#include "tests/support/usb_port_harness.h"

#include "control/bridge_ioctl.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using sim::kMillisecond;

std::vector<uint8_t> Word(uint16_t value) {
    return {static_cast<uint8_t>(value & 0xFF), static_cast<uint8_t>(value >> 8)};
}

std::string SetupText(const sim::SetupPacket& s) {
    char text[32];
    std::snprintf(text, sizeof text, "%02X %02X %04X %04X %04X", s.bmRequestType, s.bRequest,
                  s.wValue, s.wIndex, s.wLength);
    return text;
}

class BridgeControlTest : public simtest::ConfiguredPortTest {
  protected:
    void PlugOpen(int variant, sim::BridgeChipOptions options = {}) {
        Plug(variant, std::move(options));
        port->DeviceIsOpen = 1;
    }
    sim::IrpHandle Control(ULONG code, std::vector<uint8_t> input = {}, ULONG outputLength = 0) {
        auto r = sim::DeviceIoControl(h->device(), code, std::move(input), outputLength);
        EXPECT_TRUE(r->completed);
        return r;
    }
    // Every control request of endpoint 0 the port sent, as
    // "bmRequestType bRequest wValue wIndex wLength".
    std::vector<std::string> Setups() const {
        std::vector<std::string> out;
        for (const sim::UrbRecord& r : h->Records()) {
            if (r.hasSetup)
                out.push_back(SetupText(r.setup));
        }
        return out;
    }
    size_t CountValue(uint16_t wValue) const {
        size_t n = 0;
        for (const sim::UrbRecord& r : h->Records())
            n += r.hasSetup && r.setup.wValue == wValue;
        return n;
    }
    const sim::UrbRecord* OnlyRecord() const {
        EXPECT_EQ(h->Records().size(), 1u);
        return h->Records().empty() ? nullptr : &h->Records().front();
    }
};

void Expect(const sim::IrpHandle& r, NTSTATUS status, ULONG_PTR information) {
    ASSERT_TRUE(r->completed);
    EXPECT_EQ(r->status, status) << std::hex << r->status;
    EXPECT_EQ(r->information, information);
}

// --- Descriptors and raw requests --------------------------------------------------

TEST_F(BridgeControlTest, DescriptorsComeFromTheChipAndNeverExceedTheCallersLength) {
    PlugOpen(2);
    const auto& descriptors = h->chip().descriptors();
    auto device = Control(IOCTL_BRIDGE_GET_DEVICE_DESCRIPTOR, {}, 64);
    Expect(device, STATUS_SUCCESS, 18);
    EXPECT_EQ(device->output, descriptors.DeviceDescriptor());
    EXPECT_EQ(Setups(), std::vector<std::string>{"80 06 0100 0000 0012"});

    h->ClearRecords();
    const std::vector<uint8_t> config = descriptors.ConfigurationDescriptor();
    auto head = Control(IOCTL_BRIDGE_GET_CONFIG_DESCRIPTOR, {}, 9);
    Expect(head, STATUS_SUCCESS, 9);
    EXPECT_EQ(head->output, std::vector<uint8_t>(config.begin(), config.begin() + 9));
    auto whole = Control(IOCTL_BRIDGE_GET_CONFIG_DESCRIPTOR, {}, 1024);
    Expect(whole, STATUS_SUCCESS, config.size());
    EXPECT_EQ(whole->output, config);
    EXPECT_EQ(Setups(), (std::vector<std::string>{"80 06 0200 0000 0009", "80 06 0200 0000 0400"}));

    // The index is the first byte of the input; the reply overwrites it.
    h->ClearRecords();
    const uint8_t product = descriptors.DeviceDescriptor()[15];
    ASSERT_NE(product, 0);
    auto text = Control(IOCTL_BRIDGE_GET_STRING_DESCRIPTOR, {product}, 255);
    const std::vector<uint8_t> expected = descriptors.StringDescriptor(product);
    Expect(text, STATUS_SUCCESS, expected.size());
    EXPECT_EQ(text->output, expected);
    char want[32];
    std::snprintf(want, sizeof want, "80 06 03%02X 0409 00FF", product);
    EXPECT_EQ(Setups(), std::vector<std::string>{want});
}

TEST_F(BridgeControlTest, RawVendorAndClassRequestsCarryTheCallersWords) {
    PlugOpen(2);
    const ULONG lines = port->ControlLineState;
    Expect(Control(IOCTL_BRIDGE_VENDOR_WRITE, {0x07, 0x07, 0x34, 0x12}), STATUS_SUCCESS, 0);
    EXPECT_EQ(h->chip().Register(7), 0x1234);
    auto read = Control(IOCTL_BRIDGE_VENDOR_READ, Word(0x8787), 1);
    Expect(read, STATUS_SUCCESS, 1);
    EXPECT_EQ(read->output, std::vector<uint8_t>{0x34});
    Expect(Control(IOCTL_BRIDGE_SET_CONTROL_LINE_STATE, Word(0x0003)), STATUS_SUCCESS, 0);
    EXPECT_TRUE(h->chip().DtrLine());
    EXPECT_TRUE(h->chip().RtsLine());
    EXPECT_EQ(port->ControlLineState, lines) << "the raw request leaves the port's own lines";
    Expect(Control(IOCTL_BRIDGE_SET_COMM_FEATURE, Word(0xBEEF)), STATUS_SUCCESS, 0);
    EXPECT_EQ(h->chip().CommFeature(), 0xBEEF);
    EXPECT_EQ(Setups(), (std::vector<std::string>{"40 01 0707 1234 0000", "C0 01 8787 0000 0001",
                                                  "21 22 0003 0000 0000", "21 02 0001 0000 0002"}));
    EXPECT_EQ(h->Records().back().data, (std::vector<uint8_t>{0xEF, 0xBE}));
}

TEST_F(BridgeControlTest, PipeCodesUseTheInterfacesPipesInOrder) {
    PlugOpen(2);
    const USBD_INTERFACE_INFORMATION* info = port->InterfaceInfo0;
    ASSERT_NE(info, nullptr);
    ASSERT_GE(info->NumberOfPipes, 3u);

    const std::vector<uint8_t> payload = {'t', 'o', 'o', 'l'};
    Expect(Control(IOCTL_BRIDGE_PIPE1_WRITE, payload), STATUS_SUCCESS, 0);
    const sim::UrbRecord* out = OnlyRecord();
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(out->endpoint, info->Pipes[1].EndpointAddress);
    EXPECT_EQ(out->data, payload);

    // Each read moves what the pipe brought and reports exactly that.
    for (ULONG pipe : {0u, 2u}) {
        h->ClearRecords();
        const uint8_t endpoint = info->Pipes[pipe].EndpointAddress;
        if (endpoint == h->chip().StatusEndpoint()) {
            h->chip().InjectStatus(0x0080);
        } else {
            h->chip().InjectReceived({'a', 'b', 'c'});
        }
        const ULONG code = pipe == 0 ? IOCTL_BRIDGE_PIPE0_READ : IOCTL_BRIDGE_PIPE2_READ;
        // The status pipe is read without the short-transfer flag: exactly one packet.
        const ULONG room = endpoint == h->chip().StatusEndpoint() ? kStatusPacketLength : 64;
        auto r = Control(code, {}, room);
        ASSERT_TRUE(r->completed);
        EXPECT_EQ(r->status, STATUS_SUCCESS) << "pipe " << pipe;
        const sim::UrbRecord* in = OnlyRecord();
        ASSERT_NE(in, nullptr);
        EXPECT_EQ(in->endpoint, endpoint);
        EXPECT_EQ(r->information, in->data.size());
        EXPECT_EQ(r->output, in->data);
        EXPECT_FALSE(in->data.empty());
    }
}

// --- Configuration memory ----------------------------------------------------------

TEST_F(BridgeControlTest, ConfigMemoryWrittenThenReadBackThroughThePort) {
    PlugOpen(2);
    Expect(Control(IOCTL_BRIDGE_WRITE_CONFIG_MEMORY, {0x10, 0xAB, 0xCD}), STATUS_SUCCESS, 0);
    EXPECT_EQ(CountValue(0x0303), 2u);
    EXPECT_EQ(h->chip().ConfigMemory()[0x10], 0xAB);
    EXPECT_EQ(h->chip().ConfigMemory()[0x11], 0xCD);

    h->ClearRecords();
    auto read = Control(IOCTL_BRIDGE_READ_CONFIG_MEMORY, Word(0x0010), 2);
    Expect(read, STATUS_SUCCESS, 2);
    EXPECT_EQ(read->output, (std::vector<uint8_t>{0xAB, 0xCD}));
    EXPECT_EQ(CountValue(0x0404), 2u);

    // Nothing asked, nothing sent.
    h->ClearRecords();
    Expect(Control(IOCTL_BRIDGE_READ_CONFIG_MEMORY, Word(0x0010), 0), STATUS_SUCCESS, 0);
    Expect(Control(IOCTL_BRIDGE_WRITE_CONFIG_MEMORY, {0x20}), STATUS_SUCCESS, 0);
    EXPECT_TRUE(h->Records().empty());
}

TEST_F(BridgeControlTest, ConfigMemoryWritePastTheLastAddressIsRefusedWhole) {
    PlugOpen(2);
    const auto before = h->chip().ConfigMemory();
    Expect(Control(IOCTL_BRIDGE_WRITE_CONFIG_MEMORY, {0xFE, 1, 2, 3}), STATUS_INVALID_PARAMETER, 0);
    EXPECT_TRUE(h->Records().empty()) << "refused before any byte went to the chip";
    EXPECT_EQ(h->chip().ConfigMemory(), before) << "the record at address 0 is intact";
    std::vector<uint8_t> huge(1 + 300, 0x55);
    huge[0] = 0;
    Expect(Control(IOCTL_BRIDGE_WRITE_CONFIG_MEMORY, huge), STATUS_INVALID_PARAMETER, 0);
    EXPECT_TRUE(h->Records().empty());

    // Up to the last address is fine.
    Expect(Control(IOCTL_BRIDGE_WRITE_CONFIG_MEMORY, {0xFE, 1, 2}), STATUS_SUCCESS, 0);
    EXPECT_EQ(h->chip().ConfigMemory()[0xFE], 1);
    EXPECT_EQ(h->chip().ConfigMemory()[0xFF], 2);
    EXPECT_EQ(h->chip().ConfigMemory()[0x00], before[0x00]);
}

TEST_F(BridgeControlTest, ConfigMemoryThatStaysBusyTimesOutWithNothingReturned) {
    sim::BridgeChipOptions slow;
    slow.configMemoryBusyTime = 3600 * sim::kSecond;
    PlugOpen(2, slow);
    Expect(Control(IOCTL_BRIDGE_WRITE_CONFIG_MEMORY, {0x30, 1, 2}), STATUS_IO_TIMEOUT, 0);
    EXPECT_EQ(CountValue(0x0303), 1u) << "the second byte waits for a chip that never gets ready";
    EXPECT_EQ(CountValue(0x8484), kConfigMemoryBusyPolls + 1);
    h->ClearRecords();
    Expect(Control(IOCTL_BRIDGE_READ_CONFIG_MEMORY, Word(0x0000), 4), STATUS_IO_TIMEOUT, 0);
    EXPECT_EQ(CountValue(0x8484), kConfigMemoryBusyPolls);
    EXPECT_EQ(CountValue(0x8383), 0u);
}

// --- Registers ---------------------------------------------------------------------

TEST_F(BridgeControlTest, Register1BitsChangeOnlyTheirOwnBit) {
    sim::BridgeChipOptions options;
    options.registerPowerOnValues[1] = 0x97;
    PlugOpen(2, options);
    Expect(Control(IOCTL_BRIDGE_SET_CONTROL_BIT4, {0x00}), STATUS_SUCCESS, 0);
    EXPECT_EQ(Setups(), (std::vector<std::string>{"C0 01 8181 0000 0001", "40 01 0101 0087 0000"}));
    EXPECT_EQ(h->chip().Register(1), 0x87);
    Expect(Control(IOCTL_BRIDGE_SET_CONTROL_BIT5, {0x7F}), STATUS_SUCCESS, 0);
    EXPECT_EQ(h->chip().Register(1), 0xA7);
    Expect(Control(IOCTL_BRIDGE_SET_CONTROL_BIT6, {0x01}), STATUS_SUCCESS, 0);
    EXPECT_EQ(h->chip().Register(1), 0xE7);
    Expect(Control(IOCTL_BRIDGE_SET_CONTROL_BIT7, {0x00}), STATUS_SUCCESS, 0);
    EXPECT_EQ(h->chip().Register(1), 0x67);

    auto bit6 = Control(IOCTL_BRIDGE_GET_CONTROL_BIT6, {}, 1);
    Expect(bit6, STATUS_SUCCESS, 1);
    EXPECT_EQ(bit6->output, std::vector<uint8_t>{1});
    auto bit7 = Control(IOCTL_BRIDGE_GET_CONTROL_BIT7, {}, 1);
    Expect(bit7, STATUS_SUCCESS, 1);
    EXPECT_EQ(bit7->output, std::vector<uint8_t>{0});

    // What the chip holds counts, not what the driver last wrote.
    h->ClearRecords();
    Expect(Control(IOCTL_BRIDGE_VENDOR_WRITE, {0x01, 0x01, 0x80, 0x00}), STATUS_SUCCESS, 0);
    auto again = Control(IOCTL_BRIDGE_GET_CONTROL_BIT7, {}, 1);
    EXPECT_EQ(again->output, std::vector<uint8_t>{1});
    EXPECT_EQ(CountValue(0x8181), 1u);
}

TEST_F(BridgeControlTest, Register1BitThatTheChipDoesNotReportIsNeitherWrittenNorAnswered) {
    sim::BridgeChipOptions options;
    options.registerPowerOnValues[1] = 0x07;
    PlugOpen(3, options);
    port->ChipRegisterShadow[1] = 0x00;  // older than the chip's flow-control bits
    sim::UrbMatch read1;
    read1.predicate = [](const sim::UrbSummary& u) { return u.setup.wValue == 0x8181; };
    h->usb().StallNext(read1);
    auto set = Control(IOCTL_BRIDGE_SET_CONTROL_BIT4, {0x01});
    EXPECT_FALSE(NT_SUCCESS(set->status));
    EXPECT_EQ(CountValue(0x0101), 0u) << "a stale shadow written back would undo the flow bits";
    EXPECT_EQ(h->chip().Register(1), 0x07);
    h->usb().StallNext(read1);
    auto get = Control(IOCTL_BRIDGE_GET_CONTROL_BIT6, {}, 1);
    EXPECT_FALSE(NT_SUCCESS(get->status));
    EXPECT_EQ(get->information, 0u);
}

TEST_F(BridgeControlTest, ControlBit3LivesOnlyOnTheNewestChip) {
    PlugOpen(4);
    Expect(Control(IOCTL_BRIDGE_SET_CONTROL_BIT3, {0x01}), STATUS_SUCCESS, 0);
    EXPECT_EQ(h->chip().Register(1) & 0x08, 0x08);
    EXPECT_EQ(CountValue(0x0101), 1u);
    auto set = Control(IOCTL_BRIDGE_GET_CONTROL_BIT3, {}, 1);
    Expect(set, STATUS_SUCCESS, 1);
    EXPECT_EQ(set->output, std::vector<uint8_t>{1});
    Expect(Control(IOCTL_BRIDGE_SET_CONTROL_BIT3, {0x00}), STATUS_SUCCESS, 0);
    EXPECT_EQ(h->chip().Register(1) & 0x08, 0);

    for (int variant : {0, 2, 3}) {
        sim::BridgeChipOptions options;
        options.registerPowerOnValues[1] = 0x08;
        PlugOpen(variant, options);
        Expect(Control(IOCTL_BRIDGE_SET_CONTROL_BIT3, {0x00}), STATUS_SUCCESS, 0);
        auto r = Control(IOCTL_BRIDGE_GET_CONTROL_BIT3, {}, 1);
        Expect(r, STATUS_SUCCESS, 1);
        EXPECT_EQ(r->output, std::vector<uint8_t>{0}) << variant;
        EXPECT_TRUE(h->Records().empty()) << variant;
        EXPECT_EQ(h->chip().Register(1), 0x08) << variant;
    }
}

struct GatedRegister {
    const char* name;
    ULONG code;
    LONG minimumChip;
    bool write;
    uint8_t reg;
    ULONG outputLength;  // what the caller gives
    ULONG_PTR answered;  // Information on success
};

// Writes take the word 0x5A00 + the register; reads give room for more than the
// register holds.
const GatedRegister kGated[] = {
    {"READ_0E", IOCTL_BRIDGE_READ_REGISTER_0E, 3, false, 0x0E, 3, 3},
    {"WRITE_0E", IOCTL_BRIDGE_WRITE_REGISTER_0E, 3, true, 0x0E, 3, 3},
    {"READ_0F", IOCTL_BRIDGE_READ_REGISTER_0F, 3, false, 0x0F, 1, 1},
    {"WRITE_0F", IOCTL_BRIDGE_WRITE_REGISTER_0F, 3, true, 0x0F, 0, 0},
    {"WRITE_06", IOCTL_BRIDGE_WRITE_REGISTER_06, 2, true, 0x06, 2, 2},
    {"READ_06", IOCTL_BRIDGE_READ_REGISTER_06, 2, false, 0x06, 4, 2},
    {"WRITE_07", IOCTL_BRIDGE_WRITE_REGISTER_07, 2, true, 0x07, 2, 2},
    {"READ_07", IOCTL_BRIDGE_READ_REGISTER_07, 2, false, 0x07, 2, 2},
    {"WRITE_0C", IOCTL_BRIDGE_WRITE_REGISTER_0C, 3, true, 0x0C, 2, 2},
    {"READ_0C", IOCTL_BRIDGE_READ_REGISTER_0C, 3, false, 0x0C, 2, 2},
    {"WRITE_0D", IOCTL_BRIDGE_WRITE_REGISTER_0D, 3, true, 0x0D, 2, 2},
    {"READ_0D", IOCTL_BRIDGE_READ_REGISTER_0D, 3, false, 0x0D, 2, 2},
};

bool AnswersTwoBytesAlways(ULONG code) {
    return code == IOCTL_BRIDGE_WRITE_REGISTER_06 || code == IOCTL_BRIDGE_WRITE_REGISTER_07 ||
           code == IOCTL_BRIDGE_WRITE_REGISTER_0C || code == IOCTL_BRIDGE_WRITE_REGISTER_0D;
}

TEST_F(BridgeControlTest, ExtraRegistersOnEachChipTypeGroup) {
    for (int variant = 0; variant < sim::BridgeChip::kVariantCount; ++variant) {
        PlugOpen(variant);
        ASSERT_EQ(port->ChipType, variant);
        for (const GatedRegister& g : kGated) {
            SCOPED_TRACE(std::string(g.name) + " on chip type " + std::to_string(variant));
            h->ClearRecords();
            const uint16_t value = static_cast<uint16_t>(0x5A00 | g.reg);
            // Input bytes the handler must not hand back as its reply.
            std::vector<uint8_t> input = g.write ? Word(value) : std::vector<uint8_t>{};
            input.resize(std::max<size_t>(input.size(), g.outputLength), 0xEE);
            auto r = Control(g.code, input, g.outputLength);
            ASSERT_TRUE(r->completed);
            if (variant < g.minimumChip) {
                EXPECT_EQ(r->status, STATUS_NOT_SUPPORTED);
                EXPECT_EQ(r->information, AnswersTwoBytesAlways(g.code) ? 2u : 0u);
                EXPECT_TRUE(h->Records().empty()) << "a refused gate sends nothing";
                continue;
            }
            EXPECT_EQ(r->status, STATUS_SUCCESS) << std::hex << r->status;
            EXPECT_EQ(r->information, g.answered);
            const uint16_t wValue =
                static_cast<uint16_t>((g.write ? g.reg : (g.reg | 0x80)) * 0x101);
            ASSERT_EQ(h->ChipSetups().size(), 1u);
            EXPECT_EQ(h->ChipSetups()[0].wValue, wValue);
            if (g.write) {
                EXPECT_EQ(h->ChipSetups()[0].wIndex, value);
                EXPECT_EQ(h->chip().Register(g.reg), value);
                EXPECT_EQ(r->output, std::vector<uint8_t>(g.answered, 0))
                    << "zeroed, not the input";
            } else {
                const uint16_t held = h->chip().Register(g.reg);
                std::vector<uint8_t> expected = Word(held);
                const ULONG moved = (g.reg == 0x0E || g.reg == 0x0F) ? 1 : 2;
                expected.resize(moved);
                expected.resize(g.answered, 0);
                EXPECT_EQ(r->output, expected) << "the chip's bytes, zeros where it gave none";
            }
        }
    }
}

TEST_F(BridgeControlTest, RegisterWritesAnswerTwoBytesAlsoWhenTheChipRefuses) {
    PlugOpen(3);
    sim::UrbMatch any;
    any.request = 0x01;
    h->usb().StallNext(any);
    auto r = Control(IOCTL_BRIDGE_WRITE_REGISTER_0C, Word(0x1234), 2);
    ASSERT_TRUE(r->completed);
    EXPECT_FALSE(NT_SUCCESS(r->status));
    EXPECT_EQ(r->information, 2u);

    // A register 7 that reads 0 says no chip answers there.
    Expect(Control(IOCTL_BRIDGE_WRITE_REGISTER_07, Word(0x0000), 2), STATUS_SUCCESS, 2);
    Expect(Control(IOCTL_BRIDGE_READ_REGISTER_07, {}, 2), STATUS_NO_MEMORY, 0);

    // Refused by the buffer checks, the request never reaches the handler that
    // writes the two bytes: it answers none.
    h->ClearRecords();
    Expect(Control(IOCTL_BRIDGE_WRITE_REGISTER_06, Word(0x00AA), 1), STATUS_BUFFER_TOO_SMALL, 0);
    EXPECT_TRUE(h->Records().empty());
}

}  // namespace

// --- Stopping and restarting the readers -------------------------------------------

namespace {

class BridgeTransferControl : public simtest::OpenPortTest {
  protected:
    NTSTATUS Transfers(uint16_t word, std::vector<uint8_t>* reply) {
        std::vector<uint8_t> out;
        auto r = file().DeviceIoControl(IOCTL_BRIDGE_CONTROL_TRANSFERS, Word(word), 2);
        RunUntilCompleted(r);
        EXPECT_EQ(r->Information(), 2u);
        if (reply)
            *reply = r->Output();
        return r->Status();
    }
    // The requests of `endpoint` still outstanding at the bus.
    size_t Outstanding(uint8_t endpoint) const { return adapter().Usb().PendingUrbs(endpoint); }
};

TEST_F(BridgeTransferControl, StopThenRestartWithAReadPendingLosesNothingAndStartsOneReader) {
    Open(2);
    const uint8_t bulkIn = chip().BulkInEndpoint();
    const uint8_t status = chip().StatusEndpoint();
    auto read = file().Read(10);
    sim_.RunFor(5 * kMillisecond);
    ASSERT_EQ(Outstanding(bulkIn), 1u);

    std::vector<uint8_t> reply;
    EXPECT_EQ(Transfers(1, &reply), STATUS_SUCCESS);
    EXPECT_EQ(reply, (std::vector<uint8_t>{0, 0}));
    sim_.RunFor(5 * kMillisecond);
    EXPECT_EQ(Outstanding(bulkIn), 0u);
    EXPECT_EQ(Outstanding(status), 0u);

    // Meanwhile the bytes wait in the chip.
    Receive("hello");
    sim_.RunFor(20 * kMillisecond);
    EXPECT_FALSE(read->Completed());
    EXPECT_EQ(chip().ReceiveFifoLevel(), 5u);

    EXPECT_EQ(Transfers(0, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(Transfers(0, nullptr), STATUS_SUCCESS) << "while both run, starts nothing";
    sim_.RunFor(5 * kMillisecond);
    EXPECT_EQ(Outstanding(bulkIn), 1u);
    EXPECT_EQ(Outstanding(status), 1u);
    Receive("world");
    ASSERT_TRUE(RunUntilCompleted(read));
    EXPECT_EQ(read->Status(), STATUS_SUCCESS);
    EXPECT_EQ(Text(read->Output()), "helloworld");
    EXPECT_EQ(Outstanding(bulkIn), 1u);
}

// Restarted before the cancelled requests have come back, each reader still
// runs once.
TEST_F(BridgeTransferControl, RestartRightAfterStopNeverRunsTwoReadersOfAKind) {
    Open(3);
    const uint8_t bulkIn = chip().BulkInEndpoint();
    const uint8_t status = chip().StatusEndpoint();
    for (int round = 0; round < 3; ++round) {
        auto stop = file().DeviceIoControl(IOCTL_BRIDGE_CONTROL_TRANSFERS, Word(1), 2);
        auto restart = file().DeviceIoControl(IOCTL_BRIDGE_CONTROL_TRANSFERS, Word(0), 2);
        ASSERT_TRUE(RunUntilCompleted(stop));
        ASSERT_TRUE(RunUntilCompleted(restart));
        for (int step = 0; step < 10; ++step) {
            sim_.RunFor(kMillisecond);
            EXPECT_LE(Outstanding(bulkIn), 1u);
            EXPECT_LE(Outstanding(status), 1u);
        }
    }
    EXPECT_EQ(Outstanding(bulkIn), 1u);
    EXPECT_EQ(Outstanding(status), 1u);
    Receive("after");
    auto read = file().Read(5);
    ASSERT_TRUE(RunUntilCompleted(read));
    EXPECT_EQ(Text(read->Output()), "after");
}

// A restart leaves the bulk-in reader to the receive hold that keeps it idle:
// reading on would run past the flow control. The hold's release starts it.
TEST_F(BridgeTransferControl, RestartLeavesAHeldReaderToTheHoldsRelease) {
    sim_.SetSystemSize(MmSmallSystem);
    Open(2);
    const uint8_t bulkIn = chip().BulkInEndpoint();
    SERIAL_QUEUE_SIZE size{1024, 0};
    ASSERT_EQ(Control(IOCTL_SERIAL_SET_QUEUE_SIZE, sim::Bytes(size)), STATUS_SUCCESS);
    ASSERT_EQ(SetTimeouts(MAXULONG, 0, 0), STATUS_SUCCESS);
    ASSERT_EQ(SetHandFlow(SERIAL_DTR_HANDSHAKE, SERIAL_RTS_CONTROL, 512, 128), STATUS_SUCCESS);
    std::vector<uint8_t> sent;
    for (size_t i = 0; i < 1024 - kBulkInLength; i += 100) {
        std::vector<uint8_t> chunk;
        for (size_t k = i; k < std::min<size_t>(i + 100, 1024 - kBulkInLength); ++k)
            chunk.push_back(static_cast<uint8_t>('a' + k % 26));
        sent.insert(sent.end(), chunk.begin(), chunk.end());
        Receive(chunk);
        sim_.RunFor(5 * kMillisecond);
    }
    ASSERT_EQ(port()->RxHoldReasons, static_cast<ULONG>(RX_HOLD_DTR));
    ASSERT_EQ(Outstanding(bulkIn), 0u);

    EXPECT_EQ(Transfers(1, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(Transfers(0, nullptr), STATUS_SUCCESS);
    sim_.RunFor(5 * kMillisecond);
    EXPECT_EQ(Outstanding(bulkIn), 0u) << "still held";
    EXPECT_EQ(Outstanding(chip().StatusEndpoint()), 1u);

    auto drain = file().Read(4096);
    ASSERT_TRUE(RunUntilCompleted(drain));
    EXPECT_EQ(drain->Output(), sent);
    sim_.RunFor(5 * kMillisecond);
    EXPECT_EQ(Outstanding(bulkIn), 1u) << "the release started it again";
    Receive("xyz");
    sim_.RunFor(5 * kMillisecond);
    auto after = file().Read(16);
    ASSERT_TRUE(RunUntilCompleted(after));
    EXPECT_EQ(Text(after->Output()), "xyz");
}

// A write under way when the readers stop goes on to its end.
TEST_F(BridgeTransferControl, StopLeavesAWriteUnderWayToFinish) {
    sim::ScriptedPeer& peer = OpenWithFarEnd(2, 115200);
    std::vector<uint8_t> bytes(3000);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<uint8_t>(i * 7);
    auto write = file().Write(bytes);
    sim_.RunFor(2 * kMillisecond);
    ASSERT_FALSE(write->Completed());
    EXPECT_EQ(Transfers(1, nullptr), STATUS_SUCCESS);
    ASSERT_TRUE(RunUntilCompleted(write));
    EXPECT_EQ(write->Status(), STATUS_SUCCESS);
    EXPECT_EQ(write->Information(), bytes.size());
    sim_.RunFor(500 * kMillisecond);
    EXPECT_EQ(peer.ReceivedBytes(), bytes);
}

}  // namespace
