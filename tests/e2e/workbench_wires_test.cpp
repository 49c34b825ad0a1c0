// Adapters plugged through the workbench with a wire on their serial connector,
// each with its own driver stack: the driver's chip requests and pipe transfers
// go through the I/O manager and the bus to one chip, across the wire, and back
// up the other adapter's stack.
#include "tests/support/sim_fixture.h"

#include <sim/serial_wires.h>

#include <cstring>
#include <string>
#include <vector>

#include "control/control.h"
#include "sim/workbench/workbench.h"
#include "usb/usb.h"

namespace {

using sim::kMillisecond;

class WorkbenchWires : public simtest::SimTest {
  protected:
    static std::string ReadData(PortExtension* port) {
        uint8_t buffer[64];
        ULONG got = 0;
        EXPECT_EQ(ChipReadThirdPipe(port, buffer, sizeof buffer, &got), STATUS_SUCCESS);
        return std::string(buffer, buffer + got);
    }
    static NTSTATUS WriteData(PortExtension* port, const std::string& text) {
        return ChipWriteSecondPipe(port, text.data(), static_cast<ULONG>(text.size()));
    }
    static uint16_t ReadStatusWord(PortExtension* port) {
        uint8_t packet[10] = {};
        ULONG got = 0;
        EXPECT_EQ(ChipReadFirstPipe(port, packet, sizeof packet, &got), STATUS_SUCCESS);
        EXPECT_EQ(got, 10u);
        return static_cast<uint16_t>(packet[8] | packet[9] << 8);
    }

    sim::Workbench bench;
};

TEST_F(WorkbenchWires, TwoAdaptersOnANullModemCableTalkThroughTheirOwnDriverStacks) {
    sim::AdapterOptions newer;
    newer.variant = 2;
    newer.portName = u"COM5";
    sim::AdapterOptions older;
    older.variant = 1;
    older.portName = u"COM6";
    sim::Adapter& a = bench.AddAdapter(newer);
    sim::Adapter& b = bench.AddAdapter(older);
    bench.ConnectNullModem(a, b);
    ASSERT_EQ(a.Plug(), STATUS_SUCCESS);
    ASSERT_EQ(b.Plug(), STATUS_SUCCESS);
    PortExtension* pa = a.Port();
    PortExtension* pb = b.Port();
    ASSERT_TRUE(pa && pb && pa != pb);
    ASSERT_EQ(SetBaudRate(pa, 115200), STATUS_SUCCESS);
    ASSERT_EQ(SetBaudRate(pb, 115200), STATUS_SUCCESS);
    ASSERT_EQ(sim::CharacterFormat::Of(a.Chip().Line()), sim::CharacterFormat::Of(b.Chip().Line()));

    // A's driver raises DTR, then RTS: B's chip sees DSR and DCD, then CTS, and
    // reports each change on its status pipe, which B's driver reads.
    ASSERT_TRUE(SetDtr(pa));
    ASSERT_TRUE(SetRts(pa));
    EXPECT_EQ(b.Chip().Inputs(), (sim::ModemInputs{true, true, true, false}));
    EXPECT_EQ(ReadStatusWord(pb), 0x03);
    EXPECT_EQ(ReadStatusWord(pb), 0x83);
    EXPECT_EQ(a.Chip().Inputs(), sim::ModemInputs{}) << "B's driver keeps its lines low";

    ASSERT_EQ(WriteData(pa, "across the cable"), STATUS_SUCCESS);
    sim::Simulation::Current().RunFor(5 * kMillisecond);
    EXPECT_EQ(ReadData(pb), "across the cable");
    ASSERT_EQ(WriteData(pb, "and back"), STATUS_SUCCESS);
    sim::Simulation::Current().RunFor(5 * kMillisecond);
    EXPECT_EQ(ReadData(pa), "and back");
}

TEST_F(WorkbenchWires, AnAdapterWithAPeerThenALoopbackPlug) {
    sim::Adapter& adapter = bench.AddAdapter();
    sim::PeerOptions options;
    // The driver's default framing: 7 data bits, even parity.
    options.format = sim::CharacterFormat::Plain(115200, 7, 2);
    sim::ScriptedPeer& peer = adapter.AttachPeer(options);
    ASSERT_EQ(adapter.Plug(), STATUS_SUCCESS);
    PortExtension* port = adapter.Port();
    ASSERT_EQ(SetBaudRate(port, 115200), STATUS_SUCCESS);
    peer.Send({'a', 'b', 'c'});
    sim::Simulation::Current().RunFor(5 * kMillisecond);
    EXPECT_EQ(ReadData(port), "abc");
    ASSERT_EQ(WriteData(port, "xyz"), STATUS_SUCCESS);
    sim::Simulation::Current().RunFor(5 * kMillisecond);
    EXPECT_EQ(peer.ReceivedBytes(), (std::vector<uint8_t>{'x', 'y', 'z'}));

    adapter.PlugLoopback();
    ASSERT_EQ(WriteData(port, "loop"), STATUS_SUCCESS);
    sim::Simulation::Current().RunFor(5 * kMillisecond);
    EXPECT_EQ(ReadData(port), "loop");
    adapter.Unwire();
    EXPECT_FALSE(adapter.Chip().Plugged());
}

}  // namespace
