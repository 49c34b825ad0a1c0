// The chip model as a USB device: standard requests on endpoint 0, device state
// across configuration and bus reset, and the data endpoints with their Nak and
// ready signalling.
#include "tests/sim/chip_test_host.h"
#include "tests/support/sim_fixture.h"

#include <numeric>
#include <vector>

namespace {

using chiptest::ChipHost;
using chiptest::Options;
using sim::Handshake;

class ChipStandardRequests : public simtest::SimTest {};
class ChipEndpoints : public simtest::SimTest {};

std::vector<uint8_t> Status(ChipHost& host, uint8_t recipient, uint16_t index) {
    auto answer = host.In(static_cast<uint8_t>(0x80 | recipient), 0, 0, index, 2);
    return answer ? *answer : std::vector<uint8_t>{0xDE, 0xAD};
}

TEST_F(ChipStandardRequests, AddressAndConfigurationFollowTheHost) {
    sim::BridgeChip chip(1);
    ChipHost host{chip};
    EXPECT_EQ(host.Out(0x00, 5, 7, 0), Handshake::Ack);
    EXPECT_EQ(chip.Address(), 7);
    EXPECT_EQ(host.Out(0x00, 5, 128, 0), Handshake::Stall) << "addresses are 7 bits";
    EXPECT_EQ(chip.Address(), 7);

    EXPECT_EQ(host.In(0x80, 8, 0, 0, 1), std::vector<uint8_t>{0});
    EXPECT_EQ(host.Configure(2), Handshake::Stall) << "only configuration 1 exists";
    EXPECT_EQ(host.Configure(1), Handshake::Ack);
    EXPECT_EQ(chip.Configuration(), 1);
    EXPECT_EQ(host.In(0x80, 8, 0, 0, 1), std::vector<uint8_t>{1});
    EXPECT_EQ(host.Configure(0), Handshake::Ack);
    EXPECT_EQ(chip.Configuration(), 0);
}

TEST_F(ChipStandardRequests, InterfaceRequestsNeedAConfigurationAndAnExistingSetting) {
    sim::BridgeChip chip(0);
    ChipHost host{chip};
    EXPECT_EQ(host.Out(0x01, 11, 0, 1), Handshake::Stall) << "not configured yet";
    EXPECT_FALSE(host.In(0x81, 10, 0, 0, 1));
    host.Configure();
    EXPECT_EQ(host.Out(0x01, 11, 0, 1), Handshake::Ack);
    EXPECT_EQ(host.Out(0x01, 11, 1, 1), Handshake::Stall) << "no alternate setting 1";
    EXPECT_EQ(host.Out(0x01, 11, 0, 2), Handshake::Stall) << "no interface 2";
    EXPECT_EQ(host.In(0x81, 10, 0, 1, 1), std::vector<uint8_t>{0});
    EXPECT_EQ(Status(host, 1, 0), (std::vector<uint8_t>{0, 0}));

    sim::BridgeChip three(
        0, Options([](auto& o) { o.descriptors = sim::ThreeInterfaceDescriptors(0); }));
    ChipHost threeHost{three};
    threeHost.Configure();
    EXPECT_EQ(threeHost.Out(0x01, 11, 0, 2), Handshake::Ack);
}

TEST_F(ChipStandardRequests, RemoteWakeupIsArmedAndReportedWhenTheConfigurationOffersIt) {
    sim::BridgeChip chip(2);
    ChipHost host{chip};
    EXPECT_EQ(Status(host, 0, 0), (std::vector<uint8_t>{0, 0})) << "bus powered, not armed";
    // The request the driver sends at start: SET_FEATURE(DEVICE_REMOTE_WAKEUP).
    EXPECT_EQ(host.Out(0x00, 3, 1, 0), Handshake::Ack);
    EXPECT_TRUE(chip.RemoteWakeupEnabled());
    EXPECT_EQ(Status(host, 0, 0), (std::vector<uint8_t>{0x02, 0}));
    EXPECT_EQ(host.Out(0x00, 1, 1, 0), Handshake::Ack);
    EXPECT_FALSE(chip.RemoteWakeupEnabled());
    EXPECT_EQ(Status(host, 0, 0), (std::vector<uint8_t>{0, 0}));
    EXPECT_EQ(host.Out(0x00, 3, 2, 0), Handshake::Stall) << "no test modes at full speed";

    sim::DescriptorSet sleepy = sim::BridgeDescriptors(2);
    sleepy.configuration.attributes = 0xC0;  // self powered, no remote wake-up
    sim::BridgeChip other(2, Options([&](auto& o) { o.descriptors = sleepy; }));
    ChipHost otherHost{other};
    EXPECT_EQ(otherHost.Out(0x00, 3, 1, 0), Handshake::Stall);
    EXPECT_FALSE(other.RemoteWakeupEnabled());
    EXPECT_EQ(Status(otherHost, 0, 0), (std::vector<uint8_t>{0x01, 0}));
}

TEST_F(ChipStandardRequests, UnknownAndMalformedRequestsStall) {
    sim::BridgeChip chip(3);
    ChipHost host{chip};
    host.Configure();
    EXPECT_EQ(host.Out(0x00, 7, 0x0100, 0, std::vector<uint8_t>(18)), Handshake::Stall)
        << "SET_DESCRIPTOR";
    EXPECT_FALSE(host.In(0x82, 12, 0, 0x83, 2)) << "SYNCH_FRAME";
    EXPECT_EQ(host.Out(0x00, 0x55, 0, 0), Handshake::Stall);
    EXPECT_FALSE(host.In(0x80, 0, 0, 0, 0)) << "GET_STATUS without a data stage";
    EXPECT_FALSE(host.In(0xE0, 1, 0, 0, 1)) << "reserved request type";
    // A data stage the setup packet does not announce.
    std::vector<uint8_t> extra = {1, 2};
    sim::SetupPacket setup{0x00, 9, 1, 0, 0};
    EXPECT_EQ(chip.Control(setup, extra), Handshake::Stall);
}

TEST_F(ChipStandardRequests, BusResetReturnsToPowerOnButKeepsTheMemory) {
    sim::BridgeChip chip(2);
    ChipHost host{chip};
    std::vector<sim::ChipSetting> seen;
    chip.OnSettingChanged([&](sim::ChipSetting s) { seen.push_back(s); });
    host.Out(0x00, 5, 9, 0);
    host.Configure();
    host.Out(0x00, 3, 1, 0);
    host.Out(0x21, 0x22, 3, 0);
    host.WriteRegister(0, 0x41);
    host.WriteMemory(200, {0x5A});
    chip.InjectReceived({1, 2, 3});

    chip.BusReset();
    EXPECT_EQ(chip.Address(), 0);
    EXPECT_EQ(chip.Configuration(), 0);
    EXPECT_FALSE(chip.RemoteWakeupEnabled());
    EXPECT_FALSE(chip.Lines().dtr || chip.Lines().rts);
    EXPECT_EQ(chip.Register(0), 0x01) << "reloaded from the maker's record";
    EXPECT_EQ(chip.ReceiveFifoLevel(), 0u);
    EXPECT_EQ(chip.ConfigMemory()[200], 0x5A);
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back(), sim::ChipSetting::Reset);
}

TEST_F(ChipEndpoints, DataEndpointsAnswerOnlyWhenConfiguredAndNotHalted) {
    sim::BridgeChip chip(2);
    uint8_t buffer[64];
    size_t n = 99;
    EXPECT_EQ(chip.In(0x83, buffer, 64, &n), Handshake::Stall);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(chip.Out(0x02, buffer, 1), Handshake::Stall);

    ChipHost host{chip};
    host.Configure();
    EXPECT_EQ(chip.In(0x83, buffer, 64, &n), Handshake::Nak) << "nothing received yet";
    EXPECT_EQ(chip.In(0x81, buffer, 16, &n), Handshake::Nak);
    EXPECT_EQ(chip.In(0x85, buffer, 64, &n), Handshake::Stall) << "no such endpoint";
    EXPECT_EQ(chip.In(0x02, buffer, 64, &n), Handshake::Stall) << "OUT endpoint read as IN";

    EXPECT_EQ(host.Out(0x02, 3, 0, 0x83), Handshake::Ack);  // SET_FEATURE(ENDPOINT_HALT)
    EXPECT_TRUE(chip.EndpointHalted(0x83));
    EXPECT_EQ(Status(host, 2, 0x83), (std::vector<uint8_t>{1, 0}));
    EXPECT_EQ(chip.In(0x83, buffer, 64, &n), Handshake::Stall);
    EXPECT_EQ(host.Out(0x02, 1, 0, 0x83), Handshake::Ack);  // CLEAR_FEATURE(ENDPOINT_HALT)
    EXPECT_EQ(Status(host, 2, 0x83), (std::vector<uint8_t>{0, 0}));
    EXPECT_EQ(chip.In(0x83, buffer, 64, &n), Handshake::Nak);

    host.Out(0x02, 3, 0, 0x02);
    EXPECT_EQ(chip.Out(0x02, buffer, 1), Handshake::Stall);
    host.Configure();  // selecting the configuration again clears every halt
    EXPECT_FALSE(chip.EndpointHalted(0x02));
    EXPECT_EQ(host.Out(0x02, 3, 0, 0x04), Handshake::Stall) << "no such endpoint to halt";
}

TEST_F(ChipEndpoints, ReceivedBytesLeaveInMaxPacketPiecesAfterAReadySignal) {
    sim::BridgeChip chip(3);
    ChipHost host{chip};
    host.Configure();
    std::vector<uint8_t> ready;
    chip.SetReadyListener([&](uint8_t ep) { ready.push_back(ep); });

    std::vector<uint8_t> sent(150);
    std::iota(sent.begin(), sent.end(), 0);
    chip.InjectReceived(std::vector<uint8_t>(sent.begin(), sent.begin() + 100));
    chip.InjectReceived(std::vector<uint8_t>(sent.begin() + 100, sent.end()));
    EXPECT_EQ(ready, std::vector<uint8_t>{0x83}) << "one signal when the FIFO stops being empty";

    std::vector<uint8_t> got;
    std::vector<size_t> packets;
    uint8_t buffer[384];
    size_t n = 0;
    while (chip.In(0x83, buffer, sizeof buffer, &n) == Handshake::Ack) {
        packets.push_back(n);
        got.insert(got.end(), buffer, buffer + n);
    }
    EXPECT_EQ(packets, (std::vector<size_t>{64, 64, 22}));
    EXPECT_EQ(got, sent);
    chip.InjectReceived({7, 8, 9});
    EXPECT_EQ(chip.In(0x83, buffer, 2, &n), Handshake::Ack);
    EXPECT_EQ(n, 2u) << "never more than the host has room for";
    EXPECT_EQ(chip.In(0x83, buffer, 2, &n), Handshake::Ack);
    EXPECT_EQ(buffer[0], 9);
}

// USB suspend (the device outside D0): a bus-powered chip keeps its whole state
// and only its UART stands still. REGISTERS.md, "Suspend", says what it keeps.
TEST_F(ChipEndpoints, SuspendKeepsEverySettingWhileTheUartStandsStill) {
    sim::BridgeChip chip(3);
    ChipHost host{chip};
    ASSERT_EQ(host.Out(0x00, 5, 9, 0), Handshake::Ack);  // SET_ADDRESS
    host.Configure();
    ASSERT_EQ(host.Out(0x00, 3, 1, 0), Handshake::Ack);  // remote wake-up armed
    host.WriteRegister(0, 0x41);
    host.WriteRegister(5, 0x1311);
    host.WriteRegister(0x0B, 0x0002);
    ASSERT_EQ(host.SetLineCoding(115200, 0, 2, 7), Handshake::Ack);
    ASSERT_EQ(host.Out(0x21, 0x22, 3, 0), Handshake::Ack);  // DTR and RTS on
    chip.InjectReceived({1, 2});
    const uint8_t out[3] = {'a', 'b', 'c'};
    ASSERT_EQ(chip.Out(chip.BulkOutEndpoint(), out, sizeof out), Handshake::Ack);
    const auto registers = chip.Registers();
    const auto line = chip.Line().Record();
    std::vector<uint8_t> ready;
    chip.SetReadyListener([&](uint8_t ep) { ready.push_back(ep); });

    chip.Suspend();
    EXPECT_TRUE(chip.Suspended());
    chip.InjectReceived({3, 4, 5});
    EXPECT_EQ(chip.ReceivedBytesLost(), 3u) << "the receiver samples nothing while suspended";
    EXPECT_EQ(chip.ReceiveFifoLevel(), 2u);
    chip.InjectStatus(0x0080);
    EXPECT_TRUE(chip.TakeTransmitted().empty()) << "nor does the transmitter clock anything out";
    EXPECT_TRUE(ready.empty()) << "a suspended chip offers nothing";

    chip.Resume();
    EXPECT_FALSE(chip.Suspended());
    EXPECT_EQ(chip.Registers(), registers);
    EXPECT_EQ(chip.Line().Record(), line);
    EXPECT_TRUE(chip.Lines().dtr);
    EXPECT_TRUE(chip.Lines().rts);
    EXPECT_EQ(chip.Address(), 9);
    EXPECT_EQ(chip.Configuration(), 1);
    EXPECT_TRUE(chip.RemoteWakeupEnabled());
    EXPECT_EQ(chip.PendingStatusPackets(), 1u) << "the line change was latched";
    EXPECT_EQ(ready, (std::vector<uint8_t>{chip.StatusEndpoint(), chip.BulkInEndpoint()}));
    EXPECT_EQ(chip.TakeTransmitted(), (std::vector<uint8_t>{'a', 'b', 'c'}));

    // A bus reset, by contrast, loads the power-on values.
    chip.Suspend();
    chip.BusReset();
    EXPECT_FALSE(chip.Suspended());
    EXPECT_EQ(chip.Configuration(), 0);
    EXPECT_NE(chip.Registers(), registers);
}

TEST_F(ChipEndpoints, ReceiveFifoOverflowLosesAndCountsTheExcess) {
    sim::BridgeChip older(0);
    sim::BridgeChip newer(4);
    for (sim::BridgeChip* chip : {&older, &newer}) {
        chip->InjectReceived(std::vector<uint8_t>(chip->FifoCapacity() + 10, 0x55));
        EXPECT_EQ(chip->ReceiveFifoLevel(), chip->FifoCapacity());
        EXPECT_EQ(chip->ReceivedBytesLost(), 10u);
    }
    EXPECT_LT(older.FifoCapacity(), newer.FifoCapacity());
}

TEST_F(ChipEndpoints, StatusPacketsCarryTheWordInBytesEightAndNine) {
    sim::BridgeChip chip(1);
    ChipHost host{chip};
    host.Configure();
    std::vector<uint8_t> ready;
    chip.SetReadyListener([&](uint8_t ep) { ready.push_back(ep); });
    chip.InjectStatus(0x0083);
    chip.InjectStatus(0x0102);
    EXPECT_EQ(ready, std::vector<uint8_t>{0x81});

    uint8_t buffer[16] = {};
    size_t n = 0;
    ASSERT_EQ(chip.In(0x81, buffer, 10, &n), Handshake::Ack);
    ASSERT_EQ(n, 10u);
    EXPECT_EQ(buffer[8], 0x83);
    EXPECT_EQ(buffer[9], 0x00);
    // A host buffer shorter than a packet cuts it; the next read starts a new packet.
    ASSERT_EQ(chip.In(0x81, buffer, 4, &n), Handshake::Ack);
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(chip.In(0x81, buffer, 10, &n), Handshake::Nak);

    // An interrupt endpoint smaller than a packet sends it in two transactions.
    sim::DescriptorSet small = sim::BridgeDescriptors(1);
    small.configuration.interfaces[0].endpoints[0].maxPacketSize = 8;
    sim::BridgeChip narrow(1, Options([&](auto& o) { o.descriptors = small; }));
    ChipHost narrowHost{narrow};
    narrowHost.Configure();
    narrow.InjectStatus(0xBEEF);
    ASSERT_EQ(narrow.In(0x81, buffer, 10, &n), Handshake::Ack);
    EXPECT_EQ(n, 8u);
    ASSERT_EQ(narrow.In(0x81, buffer, 2, &n), Handshake::Ack);
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(buffer[0] | buffer[1] << 8, 0xBEEF);
}

TEST_F(ChipEndpoints, TransmitFifoTakesOnlyWholePacketsAndIsReadyWhenTheRefusedOneFits) {
    sim::BridgeChip chip(2);
    ChipHost host{chip};
    host.Configure();
    std::vector<uint8_t> ready;
    chip.SetReadyListener([&](uint8_t ep) { ready.push_back(ep); });

    std::vector<uint8_t> data(chip.FifoCapacity() + 40 + 64);
    std::iota(data.begin(), data.end(), 0);
    size_t offset = 0;
    // 480 bytes in whole packets leave room for 32: a packet of 64 is refused
    // whole, nothing of it kept; one of 32 fits exactly.
    for (int i = 0; i < 7; ++i, offset += 64)
        ASSERT_EQ(chip.Out(0x02, data.data() + offset, 64), Handshake::Ack);
    ASSERT_EQ(chip.Out(0x02, data.data() + offset, 32), Handshake::Ack);
    offset += 32;
    EXPECT_EQ(chip.Out(0x02, data.data() + offset, 64), Handshake::Nak);
    EXPECT_EQ(chip.TransmitFifoLevel(), 480u) << "a refused packet leaves nothing";
    ASSERT_EQ(chip.Out(0x02, data.data() + offset, 32), Handshake::Ack);
    offset += 32;
    EXPECT_EQ(chip.TransmitFifoLevel(), chip.FifoCapacity());
    EXPECT_EQ(chip.Out(0x02, data.data() + offset, 40), Handshake::Nak);
    EXPECT_EQ(chip.BytesFromHost(), chip.FifoCapacity());
    EXPECT_TRUE(ready.empty());

    // Room for 30 is not room for the packet of 40 that was refused.
    auto first = chip.TakeTransmitted(30);
    EXPECT_EQ(first, std::vector<uint8_t>(data.begin(), data.begin() + 30));
    EXPECT_TRUE(ready.empty()) << "ready only when the refused packet fits whole";
    EXPECT_EQ(chip.Out(0x02, data.data() + offset, 40), Handshake::Nak);
    chip.TakeTransmitted(10);
    EXPECT_EQ(ready, std::vector<uint8_t>{0x02});
    EXPECT_EQ(chip.Out(0x02, data.data() + offset, 40), Handshake::Ack);
    offset += 40;

    // Refused again, the size to wait for is the new packet's.
    EXPECT_EQ(chip.Out(0x02, data.data() + offset, 64), Handshake::Nak);
    chip.TakeTransmitted(63);
    EXPECT_EQ(ready.size(), 1u);
    chip.TakeTransmitted(1);
    EXPECT_EQ(ready.size(), 2u);
    EXPECT_EQ(chip.Out(0x02, data.data() + offset, 64), Handshake::Ack);
    auto rest = chip.TakeTransmitted();
    EXPECT_EQ(rest, std::vector<uint8_t>(data.begin() + 30 + 10 + 64, data.end()));
    EXPECT_EQ(chip.BytesFromHost(), data.size());
    EXPECT_EQ(ready.size(), 2u) << "no signal when nobody was refused";
}

}  // namespace
