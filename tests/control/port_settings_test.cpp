// The settings an application gives an open port: baud rate, line control,
// special characters and hand flow, each as the chip and the line see it
// afterwards, and what is refused with nothing changed.
#include "tests/support/open_port.h"

#include <sim/serial_wires.h>

#include <algorithm>
#include <cstring>

namespace {

using simtest::OpenPortTest;

class PortSettingsTest : public OpenPortTest {
  protected:
    NTSTATUS SetLine(UCHAR stopBits, UCHAR parity, UCHAR wordLength) {
        SERIAL_LINE_CONTROL line{stopBits, parity, wordLength};
        return Control(IOCTL_SERIAL_SET_LINE_CONTROL, sim::Bytes(line));
    }
    SERIAL_LINE_CONTROL GetLine() {
        return Query<SERIAL_LINE_CONTROL>(IOCTL_SERIAL_GET_LINE_CONTROL);
    }
    size_t ChipRequestCount() { return chip().ChipRequests().size(); }
};

TEST_F(PortSettingsTest, TheBaudRateReachesTheLineAndZeroOrTheSameRateSendsNothing) {
    Open(2);
    SERIAL_BAUD_RATE rate{921600};
    const size_t before = ChipRequestCount();
    EXPECT_EQ(Control(IOCTL_SERIAL_SET_BAUD_RATE, sim::Bytes(rate)), STATUS_SUCCESS);
    // The chip's divisor comes as close as it can.
    EXPECT_NEAR(chip().Line().baud.Value(), 921600.0, 921600.0 * 0.03);
    std::vector<uint8_t> out;
    EXPECT_EQ(Control(IOCTL_SERIAL_GET_BAUD_RATE, {}, 4, &out), STATUS_SUCCESS);
    EXPECT_EQ(out, sim::Bytes(ULONG{921600}));
    const size_t afterFirst = ChipRequestCount();
    EXPECT_GT(afterFirst, before);
    for (ULONG same : {921600u, 0u}) {
        SERIAL_BAUD_RATE again{same};
        EXPECT_EQ(Control(IOCTL_SERIAL_SET_BAUD_RATE, sim::Bytes(again)), STATUS_SUCCESS);
    }
    EXPECT_EQ(ChipRequestCount(), afterFirst);
    EXPECT_EQ(Control(IOCTL_SERIAL_SET_BAUD_RATE, {0, 0, 0}), STATUS_BUFFER_TOO_SMALL);
}

TEST_F(PortSettingsTest, LineControlIsCheckedWholeBeforeAnythingChanges) {
    Open(2);
    ASSERT_EQ(SetLine(STOP_BITS_2, ODD_PARITY, 8), STATUS_SUCCESS);
    EXPECT_EQ(port()->ValidDataMask, 0xFF);
    EXPECT_EQ(chip().Line().dataBits, 8);
    SERIAL_LINE_CONTROL got = GetLine();
    EXPECT_EQ(got.WordLength, 8);
    EXPECT_EQ(got.Parity, ODD_PARITY);
    EXPECT_EQ(got.StopBits, STOP_BITS_2);
    EXPECT_EQ(port()->WmiCommInfo.BitsPerByte, 8u);
    EXPECT_EQ(port()->WmiCommInfo.Parity, 1u);
    EXPECT_EQ(port()->WmiCommInfo.StopBits, 2u);

    // Refused: nothing of the line or its WMI copy moves, and the refused
    // request is not remembered (the good one sent again still counts as the same).
    struct Bad {
        UCHAR stop, parity, word;
    };
    for (Bad bad : {Bad{STOP_BIT_1, NO_PARITY, 4}, Bad{STOP_BIT_1, NO_PARITY, 9}, Bad{STOP_BIT_1, 5, 8},
                    Bad{STOP_BITS_1_5, NO_PARITY, 8}, Bad{STOP_BITS_2, NO_PARITY, 5}, Bad{3, NO_PARITY, 8}}) {
        SCOPED_TRACE(testing::Message() << int(bad.stop) << "/" << int(bad.parity) << "/" << int(bad.word));
        EXPECT_EQ(SetLine(bad.stop, bad.parity, bad.word), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(port()->ValidDataMask, 0xFF);
        EXPECT_EQ(port()->WmiCommInfo.BitsPerByte, 8u);
        EXPECT_EQ(port()->WmiCommInfo.Parity, 1u);
    }
    const size_t before = ChipRequestCount();
    EXPECT_EQ(SetLine(STOP_BITS_2, ODD_PARITY, 8), STATUS_SUCCESS);
    EXPECT_EQ(ChipRequestCount(), before) << "the same request again reaches nothing";

    // Mark and space swap places in the WMI coding; 1.5 stop bits go with 5 data bits.
    ASSERT_EQ(SetLine(STOP_BITS_1_5, MARK_PARITY, 5), STATUS_SUCCESS);
    EXPECT_EQ(port()->WmiCommInfo.Parity, 4u);
    EXPECT_EQ(port()->ValidDataMask, 0x1F);
    got = GetLine();
    EXPECT_EQ(got.StopBits, STOP_BITS_1_5);
    EXPECT_EQ(got.Parity, MARK_PARITY);
    ASSERT_EQ(SetLine(STOP_BIT_1, SPACE_PARITY, 7), STATUS_SUCCESS);
    EXPECT_EQ(port()->WmiCommInfo.Parity, 3u);
    EXPECT_EQ(GetLine().Parity, SPACE_PARITY);
}

TEST_F(PortSettingsTest, TheBreakBitSurvivesALineControlChange) {
    Open(2);
    port()->LineControl |= 0x40;
    ASSERT_EQ(SetLine(STOP_BIT_1, NO_PARITY, 8), STATUS_SUCCESS);
    EXPECT_EQ(port()->LineControl, 0x40 | 0x03);
}

TEST_F(PortSettingsTest, SpecialCharactersReachANewerChipAndClashWithTheEscapeIsRefused) {
    Open(2);
    SERIAL_CHARS chars{0, '?', '!', '#', 0x01, 0x02};
    ASSERT_EQ(Control(IOCTL_SERIAL_SET_CHARS, sim::Bytes(chars)), STATUS_SUCCESS);
    std::vector<uint8_t> out;
    ASSERT_EQ(Control(IOCTL_SERIAL_GET_CHARS, {}, sizeof(SERIAL_CHARS), &out), STATUS_SUCCESS);
    EXPECT_EQ(out, sim::Bytes(chars));
    EXPECT_EQ(port()->WmiCommInfo.XonCharacter, 0x01u);
    EXPECT_EQ(port()->WmiCommInfo.XoffCharacter, 0x02u);
    EXPECT_EQ(chip().DecodedFlowControl().xonChar, 0x01);
    EXPECT_EQ(chip().DecodedFlowControl().xoffChar, 0x02);

    ASSERT_EQ(Control(IOCTL_SERIAL_LSRMST_INSERT, {0x7E}), STATUS_SUCCESS);
    SERIAL_CHARS clash{0, 0, 0, 0, 0x11, 0x7E};
    EXPECT_EQ(Control(IOCTL_SERIAL_SET_CHARS, sim::Bytes(clash)), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(port()->SpecialChars.XonChar, 0x01);
    EXPECT_EQ(chip().DecodedFlowControl().xoffChar, 0x02);
}

TEST_F(PortSettingsTest, AnOlderChipKeepsNoFlowCharactersAndTheRequestStillSucceeds) {
    Open(0);
    const size_t before = ChipRequestCount();
    SERIAL_CHARS chars{0, 0, 0, 0, 0x05, 0x06};
    ASSERT_EQ(Control(IOCTL_SERIAL_SET_CHARS, sim::Bytes(chars)), STATUS_SUCCESS);
    EXPECT_EQ(ChipRequestCount(), before);
    EXPECT_EQ(port()->SpecialChars.XoffChar, 0x06);
}

TEST_F(PortSettingsTest, HandFlowIsValidatedThenDrivesTheLinesAndTheChip) {
    Open(2);
    const LONG ring = static_cast<LONG>(port()->ReceiveBufferSize);
    // Bits no mode names, DTR control and handshake at once, limits outside the ring.
    EXPECT_EQ(SetHandFlow(0x04, SERIAL_RTS_CONTROL, 10, 10), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(SetHandFlow(SERIAL_DTR_CONTROL, 0x20, 10, 10), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(SetHandFlow(SERIAL_DTR_MASK, SERIAL_RTS_CONTROL, 10, 10), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(SetHandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, -1, 10), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(SetHandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 10, ring + 1), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(port()->HandFlow.ControlHandShake, static_cast<ULONG>(SERIAL_DTR_CONTROL));
    EXPECT_EQ(port()->HandFlow.FlowReplace, static_cast<ULONG>(SERIAL_RTS_CONTROL));

    EXPECT_EQ(SetHandFlow(SERIAL_CTS_HANDSHAKE | SERIAL_DTR_CONTROL, SERIAL_RTS_HANDSHAKE, ring / 2, ring / 8),
              STATUS_SUCCESS);
    EXPECT_TRUE(chip().DecodedFlowControl().rtsFollowsReceiveLevel);
    EXPECT_TRUE(chip().DecodedFlowControl().transmitGatedByCts);
    EXPECT_EQ(SetHandFlow(0, 0, ring, 0), STATUS_SUCCESS) << "limits equal to the ring are allowed";
    EXPECT_FALSE(chip().DecodedFlowControl().rtsFollowsReceiveLevel);
    EXPECT_FALSE(chip().Lines().dtr);
    EXPECT_FALSE(chip().Lines().rts);
    std::vector<uint8_t> out;
    ASSERT_EQ(Control(IOCTL_SERIAL_GET_HANDFLOW, {}, sizeof(SERIAL_HANDFLOW), &out), STATUS_SUCCESS);
    EXPECT_EQ(out, sim::Bytes(SERIAL_HANDFLOW{0, 0, ring, 0}));

    // With an escape character set, an error character would be ambiguous.
    ASSERT_EQ(Control(IOCTL_SERIAL_LSRMST_INSERT, {0xFF}), STATUS_SUCCESS);
    EXPECT_EQ(SetHandFlow(SERIAL_DTR_CONTROL, SERIAL_ERROR_CHAR, 10, 10), STATUS_INVALID_PARAMETER);
}

// A restart puts the line back at its default; the request the port took before
// the stop is no longer what the line runs with, so the same request afterwards
// must reach the chip again.
TEST_F(PortSettingsTest, AfterARestartTheSameLineControlReachesTheChipAgain) {
    Open(2);
    ASSERT_EQ(SetLine(STOP_BIT_1, NO_PARITY, 8), STATUS_SUCCESS);
    ASSERT_EQ(chip().Line().dataBits, 8);
    Close();
    ASSERT_EQ(adapter().Rebalance(), STATUS_SUCCESS);
    sim_.RunUntilIdle();
    ASSERT_EQ(port()->LineControl, 0x1A) << "the start gives the line its default";
    NTSTATUS status;
    file_ = sim::File::Open(u"\\\\.\\COM3", &status, sim::OverlappedOpen());
    ASSERT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(chip().Line().dataBits, 7);

    const size_t before = ChipRequestCount();
    ASSERT_EQ(SetLine(STOP_BIT_1, NO_PARITY, 8), STATUS_SUCCESS);
    EXPECT_GT(ChipRequestCount(), before);
    EXPECT_EQ(chip().Line().dataBits, 8);
    EXPECT_EQ(chip().Line().parity, 0);
    EXPECT_EQ(GetLine().WordLength, 8);
}

// WMI publishes the line, the flow characters and the flow-control limits as
// the port runs with them.
TEST_F(PortSettingsTest, WmiFollowsTheLineAndTheFlowLimits) {
    Open(2);
    EXPECT_EQ(port()->WmiCommInfo.ParityCheckEnable, TRUE) << "7E1 by default";
    ASSERT_EQ(SetLine(STOP_BIT_1, NO_PARITY, 8), STATUS_SUCCESS);
    EXPECT_EQ(port()->WmiCommInfo.ParityCheckEnable, FALSE);
    EXPECT_EQ(port()->WmiCommInfo.Parity, 0u);
    ASSERT_EQ(SetLine(STOP_BIT_1, ODD_PARITY, 8), STATUS_SUCCESS);
    EXPECT_EQ(port()->WmiCommInfo.ParityCheckEnable, TRUE);

    ASSERT_EQ(SetHandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 300, 200), STATUS_SUCCESS);
    EXPECT_EQ(port()->WmiCommInfo.XonXmitThreshold, 300u);
    EXPECT_EQ(port()->WmiCommInfo.XoffXmitThreshold, 200u);
    EXPECT_EQ(SetHandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, -1, 100),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(port()->WmiCommInfo.XonXmitThreshold, 300u);
    EXPECT_EQ(port()->WmiCommInfo.XoffXmitThreshold, 200u);
}

// SET_XON answers an XOFF that came over the line as the far end's XON would:
// the hold goes, and with it the mark the write path holds writes on.
TEST_F(PortSettingsTest, SetXonReleasesAnXoffReceivedFromTheLine) {
    Open(0);
    const LONG ring = static_cast<LONG>(port()->ReceiveBufferSize);
    ASSERT_EQ(SetHandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | SERIAL_AUTO_TRANSMIT, ring / 2,
                          ring / 8),
              STATUS_SUCCESS);
    Receive(std::vector<uint8_t>{0x13});
    ASSERT_TRUE(sim_.RunUntil([&] { return port()->XoffReceived != 0; }, sim::kSecond));
    EXPECT_EQ(port()->TxHoldReasons, TX_HOLD_XOFF);
    ASSERT_EQ(Control(IOCTL_SERIAL_SET_XON), STATUS_SUCCESS);
    EXPECT_EQ(port()->TxHoldReasons, 0u);
    EXPECT_EQ(port()->XoffReceived, 0);
}

// Reading the modem status brings the holds that follow the lines up to date: a
// DSR sensitivity set while DSR is off holds reception from then on.
TEST_F(PortSettingsTest, ModemStatusBringsTheDsrHoldUpToDate) {
    Open(2);
    sim::PeerOptions options;
    options.lines = {true, false, true, false};  // DSR off
    adapter().AttachPeer(options);
    sim_.RunFor(20 * sim::kMillisecond);
    const LONG ring = static_cast<LONG>(port()->ReceiveBufferSize);
    ASSERT_EQ(SetHandFlow(SERIAL_DTR_CONTROL | SERIAL_DSR_SENSITIVITY, SERIAL_RTS_CONTROL, ring / 2,
                          ring / 8),
              STATUS_SUCCESS);
    EXPECT_EQ(Query<ULONG>(IOCTL_SERIAL_GET_MODEMSTATUS),
              static_cast<ULONG>(SERIAL_CTS_STATE | SERIAL_DCD_STATE));
    EXPECT_EQ(Query<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS).HoldReasons,
              static_cast<ULONG>(SERIAL_RX_WAITING_FOR_DSR));
}

}  // namespace
