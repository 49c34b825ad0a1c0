// What every published code refuses, on an open port with a far end on the wire:
// absent and short buffers, values out of range, and requests that the port's
// settings make unacceptable. A refused request answers its status with
// Information 0 and changes nothing: not a setting, not a line, not the chip.
#include "tests/support/open_port.h"

#include <sim/pool.h>
#include <sim/serial_wires.h>

#include "control/control.h"

#include <array>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <utility>

namespace {

using sim::kMillisecond;
using simtest::OpenPortTest;

constexpr ULONG kMax = MAXULONG;

struct Bad {
    std::string what;
    ULONG code;
    std::vector<uint8_t> input;
    ULONG outputLength;
    NTSTATUS expected;
};

template <typename T>
Bad Refused(const char* what, ULONG code, const T& record) {
    return {what, code, sim::Bytes(record), 0, STATUS_INVALID_PARAMETER};
}

Bad LineControl(const char* what, UCHAR stopBits, UCHAR parity, UCHAR wordLength) {
    return Refused(what, IOCTL_SERIAL_SET_LINE_CONTROL,
                   SERIAL_LINE_CONTROL{stopBits, parity, wordLength});
}
Bad HandFlow(const char* what, ULONG controlHandShake, ULONG flowReplace, LONG xonLimit,
             LONG xoffLimit) {
    return Refused(what, IOCTL_SERIAL_SET_HANDFLOW,
                   SERIAL_HANDFLOW{controlHandShake, flowReplace, xonLimit, xoffLimit});
}
Bad Ulong(const char* what, ULONG code, ULONG value) {
    return Refused(what, code, value);
}

// Everything a refused request could have changed, by name.
using Observed = std::vector<std::pair<std::string, std::vector<uint8_t>>>;

class RefusalTest : public OpenPortTest {
  protected:
    // An open port at 9600 8N1, a far end holding every modem input on (RI too:
    // the older chips report it once per packet, a refused GET_MODEMSTATUS must
    // not spend it), and a line error waiting to be read.
    void OpenWired(int variant) {
        Open(variant);
        sim::PeerOptions options;
        options.lines = {true, true, true, true};
        adapter().AttachPeer(options);
        SERIAL_BAUD_RATE rate{9600};
        ASSERT_EQ(Control(IOCTL_SERIAL_SET_BAUD_RATE, sim::Bytes(rate)), STATUS_SUCCESS);
        SERIAL_LINE_CONTROL line{STOP_BIT_1, NO_PARITY, 8};
        ASSERT_EQ(Control(IOCTL_SERIAL_SET_LINE_CONTROL, sim::Bytes(line)), STATUS_SUCCESS);
        ASSERT_EQ(SetTimeouts(10, 20, 30), STATUS_SUCCESS);
        ASSERT_EQ(Control(IOCTL_SERIAL_SET_WAIT_MASK, sim::Bytes(ULONG{SERIAL_EV_RXCHAR})),
                  STATUS_SUCCESS);
        sim_.RunFor(50 * kMillisecond);
        ASSERT_NE(port()->ModemStatusWord & 0x0008, 0) << "the far end's ring has not come up";
        port()->ErrorFlags = SERIAL_ERROR_FRAMING;
    }

    Observed Observe() {
        const PortExtension* p = port();
        Observed o;
        auto add = [&](const char* name, const auto& value) {
            o.emplace_back(name, sim::Bytes(value));
        };
        add("CurrentBaud", p->CurrentBaud);
        add("LineControl", p->LineControl);
        add("ValidDataMask", p->ValidDataMask);
        add("LastLineControlRequest", p->LastLineControlRequest);
        add("Timeouts", p->Timeouts);
        add("SpecialChars", p->SpecialChars);
        add("HandFlow", p->HandFlow);
        add("EscapeChar", p->EscapeChar);
        add("WaitMask", p->WaitMask);
        add("EventHistory", p->EventHistory);
        add("TxHoldReasons", p->TxHoldReasons);
        add("RxHoldReasons", p->RxHoldReasons);
        add("ErrorFlags", p->ErrorFlags);
        add("TotalCharsQueued", p->TotalCharsQueued);
        add("ControlLineState", p->ControlLineState);
        add("PerfStats", p->PerfStats);
        add("WmiPerfStats", p->WmiPerfStats);
        add("WmiCommInfo", p->WmiCommInfo);
        add("ReceiveBufferSize", p->ReceiveBufferSize);
        add("ReceiveBuffer", p->ReceiveBuffer);
        add("ModemStatusWord", p->ModemStatusWord);
        add("RxFifoSetting", p->RxFifoSetting);
        add("TxFifoSetting", p->TxFifoSetting);
        add("DevicePowerState", p->DevicePowerState);
        add("PendingToggleChecks", LONG{p->PendingToggleChecks});
        add("queues empty",
            std::array<bool, 4>{IsListEmpty(&p->ReadQueue) != 0, IsListEmpty(&p->WriteQueue) != 0,
                                IsListEmpty(&p->MaskQueue) != 0, IsListEmpty(&p->PurgeQueue) != 0});
        add("slots", std::array<PIRP, 7>{p->CurrentRead, p->CurrentWrite, p->CurrentMaskRequest,
                                         p->CurrentWait, p->CurrentPurge, p->CurrentImmediate,
                                         p->CurrentXoffCounter});
        add("chip requests", chip().ChipRequests().size());
        add("chip DTR", chip().Lines().dtr);
        add("chip RTS", chip().Lines().rts);
        add("chip break", chip().BreakOn());
        add("chip line coding", chip().Line().Record());
        add("chip registers", chip().Registers());
        add("transmitted", chip().BytesFromHost());
        return o;
    }

    void ExpectRefusedWithNothingChanged(const std::vector<Bad>& cases) {
        for (const Bad& bad : cases) {
            SCOPED_TRACE(bad.what);
            // Settled: a transmit-toggle check still to come would change RTS.
            ASSERT_TRUE(
                sim_.RunUntil([&] { return port()->PendingToggleChecks == 0; }, sim::kSecond));
            sim_.RunFor(5 * kMillisecond);
            const Observed before = Observe();
            auto r = file().DeviceIoControl(bad.code, bad.input, bad.outputLength);
            ASSERT_TRUE(sim_.RunUntil([&] { return r->Completed(); }, sim::kSecond))
                << "left pending";
            EXPECT_EQ(r->Status(), bad.expected) << std::hex << r->Status();
            EXPECT_EQ(r->Information(), 0u);
            sim_.RunFor(20 * kMillisecond);
            const Observed after = Observe();
            for (size_t i = 0; i < before.size(); ++i)
                EXPECT_EQ(after[i].second, before[i].second) << before[i].first << " changed";
        }
    }
};

// The record each published code reads or answers, by its published size.
struct Record {
    const char* name;
    ULONG code;
    bool input;
    ULONG size;
    bool lengthFirst;  // the length is checked before the buffer's presence
};
constexpr Record kRecords[] = {
    {"SET_BAUD_RATE", IOCTL_SERIAL_SET_BAUD_RATE, true, 4, true},
    {"SET_QUEUE_SIZE", IOCTL_SERIAL_SET_QUEUE_SIZE, true, 8, false},
    {"SET_LINE_CONTROL", IOCTL_SERIAL_SET_LINE_CONTROL, true, 3, false},
    {"IMMEDIATE_CHAR", IOCTL_SERIAL_IMMEDIATE_CHAR, true, 1, true},
    {"SET_TIMEOUTS", IOCTL_SERIAL_SET_TIMEOUTS, true, 20, false},
    {"GET_TIMEOUTS", IOCTL_SERIAL_GET_TIMEOUTS, false, 20, false},
    {"GET_WAIT_MASK", IOCTL_SERIAL_GET_WAIT_MASK, false, 4, true},
    {"SET_WAIT_MASK", IOCTL_SERIAL_SET_WAIT_MASK, true, 4, true},
    {"WAIT_ON_MASK", IOCTL_SERIAL_WAIT_ON_MASK, false, 4, true},
    {"PURGE", IOCTL_SERIAL_PURGE, true, 4, false},
    {"GET_BAUD_RATE", IOCTL_SERIAL_GET_BAUD_RATE, false, 4, false},
    {"GET_LINE_CONTROL", IOCTL_SERIAL_GET_LINE_CONTROL, false, 3, false},
    {"GET_CHARS", IOCTL_SERIAL_GET_CHARS, false, 6, false},
    {"SET_CHARS", IOCTL_SERIAL_SET_CHARS, true, 6, false},
    {"GET_HANDFLOW", IOCTL_SERIAL_GET_HANDFLOW, false, 16, false},
    {"SET_HANDFLOW", IOCTL_SERIAL_SET_HANDFLOW, true, 16, false},
    {"GET_MODEMSTATUS", IOCTL_SERIAL_GET_MODEMSTATUS, false, 4, false},
    {"GET_COMMSTATUS", IOCTL_SERIAL_GET_COMMSTATUS, false, 20, false},
    {"XOFF_COUNTER", IOCTL_SERIAL_XOFF_COUNTER, true, 12, false},
    {"GET_PROPERTIES", IOCTL_SERIAL_GET_PROPERTIES, false, 64, false},
    {"GET_DTRRTS", IOCTL_SERIAL_GET_DTRRTS, false, 4, false},
    {"LSRMST_INSERT", IOCTL_SERIAL_LSRMST_INSERT, true, 1, false},
    {"CONFIG_SIZE", IOCTL_SERIAL_CONFIG_SIZE, false, 4, false},
    {"GET_STATS", IOCTL_SERIAL_GET_STATS, false, 24, true},
    {"GET_MODEM_CONTROL", IOCTL_SERIAL_GET_MODEM_CONTROL, false, 4, false},
    {"SET_MODEM_CONTROL", IOCTL_SERIAL_SET_MODEM_CONTROL, true, 4, false},
    {"SET_FIFO_CONTROL", IOCTL_SERIAL_SET_FIFO_CONTROL, true, 4, false},
};

// Every record's buffer left out, and one byte short (a one-byte record has
// nothing shorter than none).
std::vector<Bad> BufferRefusals() {
    std::vector<Bad> cases;
    for (const Record& r : kRecords) {
        const NTSTATUS absent = r.lengthFirst ? STATUS_BUFFER_TOO_SMALL : STATUS_INVALID_PARAMETER;
        cases.push_back({std::string(r.name) + ", no buffer", r.code, {}, 0, absent});
        if (r.size < 2)
            continue;
        Bad shortBuffer{
            std::string(r.name) + ", a byte short", r.code, {}, 0, STATUS_BUFFER_TOO_SMALL};
        if (r.input) {
            shortBuffer.input.resize(r.size - 1);
        } else {
            shortBuffer.outputLength = r.size - 1;
        }
        cases.push_back(shortBuffer);
    }
    return cases;
}

// Values no setting of the port makes acceptable.
std::vector<Bad> ValueRefusals(ULONG ring) {
    const LONG over = static_cast<LONG>(ring + 1);
    return {
        LineControl("4 data bits", STOP_BIT_1, NO_PARITY, 4),
        LineControl("9 data bits", STOP_BIT_1, NO_PARITY, 9),
        LineControl("no data bits at all", STOP_BIT_1, NO_PARITY, 0),
        LineControl("parity 5", STOP_BIT_1, 5, 8),
        LineControl("1.5 stop bits with 8 data bits", STOP_BITS_1_5, NO_PARITY, 8),
        LineControl("1.5 stop bits with 6 data bits", STOP_BITS_1_5, EVEN_PARITY, 6),
        LineControl("2 stop bits with 5 data bits", STOP_BITS_2, NO_PARITY, 5),
        LineControl("stop bits 3", 3, NO_PARITY, 8),
        Refused("read timeouts all MAXULONG", IOCTL_SERIAL_SET_TIMEOUTS,
                SERIAL_TIMEOUTS{kMax, kMax, kMax, 7, 8}),
        Ulong("wait mask 0x2000", IOCTL_SERIAL_SET_WAIT_MASK, 0x2000),
        Ulong("wait mask with bit 31", IOCTL_SERIAL_SET_WAIT_MASK, 0x80000001),
        Ulong("wait mask all ones", IOCTL_SERIAL_SET_WAIT_MASK, kMax),
        Ulong("purge mask 0", IOCTL_SERIAL_PURGE, 0),
        Ulong("purge mask 0x10", IOCTL_SERIAL_PURGE, 0x10),
        Ulong("purge mask 0x1F", IOCTL_SERIAL_PURGE, 0x1F),
        Ulong("purge mask with bit 31", IOCTL_SERIAL_PURGE, 0x80000002),
        HandFlow("handshake bit 0x04", SERIAL_DTR_CONTROL | 0x04, SERIAL_RTS_CONTROL, 10, 10),
        HandFlow("handshake bit 0x80", SERIAL_DTR_CONTROL | 0x80, SERIAL_RTS_CONTROL, 10, 10),
        HandFlow("handshake bit 0x40000000", SERIAL_DTR_CONTROL | 0x40000000, SERIAL_RTS_CONTROL,
                 10, 10),
        HandFlow("DTR control and handshake at once", SERIAL_DTR_MASK, SERIAL_RTS_CONTROL, 10, 10),
        HandFlow("flow bit 0x20", SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | 0x20, 10, 10),
        HandFlow("flow bit 0x100", SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | 0x100, 10, 10),
        HandFlow("negative XonLimit", SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, -1, 10),
        HandFlow("negative XoffLimit", SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 10, -1),
        HandFlow("XonLimit beyond the ring", SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, over, 10),
        HandFlow("XoffLimit beyond the ring", SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 10, over),
        Refused("LSRMST_INSERT, the XON character", IOCTL_SERIAL_LSRMST_INSERT, UCHAR{0x11}),
        Refused("LSRMST_INSERT, the XOFF character", IOCTL_SERIAL_LSRMST_INSERT, UCHAR{0x13}),
    };
}

class EveryVariant : public RefusalTest, public ::testing::WithParamInterface<int> {};

TEST_P(EveryVariant, BadBuffersAndValuesAreRefusedWithNothingChanged) {
    OpenWired(GetParam());
    ExpectRefusedWithNothingChanged(BufferRefusals());
    ExpectRefusedWithNothingChanged(ValueRefusals(port()->ReceiveBufferSize));
}

INSTANTIATE_TEST_SUITE_P(Refusals, EveryVariant, ::testing::Values(0, 2),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return "Chip" + std::to_string(info.param);
                         });

// The records above leave out no published code that takes a buffer: the
// dispatch's rows and this table must not drift apart.
TEST(RefusalTable, CoversEveryBufferOfEveryPublishedCode) {
    std::set<ULONG> listed;
    for (const Record& r : kRecords)
        listed.insert(r.code);
    for (const ControlCode& row : DeviceControlCodes) {
        if ((row.Code >> 16) != FILE_DEVICE_SERIAL_PORT)
            continue;
        if (row.LeastInput == 0 && row.LeastOutput == 0)
            continue;
        EXPECT_EQ(listed.count(row.Code), 1u) << std::hex << row.Code;
    }
    EXPECT_EQ(listed.size(), std::size(kRecords)) << "a code listed twice";
}

// Requests that only the port's settings make unacceptable.
TEST_F(RefusalTest, HandshakesKeepTheirLines) {
    OpenWired(2);
    const LONG ring = static_cast<LONG>(port()->ReceiveBufferSize);
    ASSERT_EQ(SetHandFlow(SERIAL_DTR_HANDSHAKE, SERIAL_RTS_HANDSHAKE, ring / 2, ring / 8),
              STATUS_SUCCESS);
    const std::vector<Bad> underHandshakes = {
        {"SET_DTR under DTR handshake", IOCTL_SERIAL_SET_DTR, {}, 0, STATUS_INVALID_PARAMETER},
        {"CLR_DTR under DTR handshake", IOCTL_SERIAL_CLR_DTR, {}, 0, STATUS_INVALID_PARAMETER},
        {"SET_RTS under RTS handshake", IOCTL_SERIAL_SET_RTS, {}, 0, STATUS_INVALID_PARAMETER},
        {"CLR_RTS under RTS handshake", IOCTL_SERIAL_CLR_RTS, {}, 0, STATUS_INVALID_PARAMETER},
    };
    ExpectRefusedWithNothingChanged(underHandshakes);

    ASSERT_EQ(SetHandFlow(SERIAL_DTR_CONTROL, SERIAL_TRANSMIT_TOGGLE, ring / 2, ring / 8),
              STATUS_SUCCESS);
    const std::vector<Bad> underToggle = {
        {"SET_RTS under transmit toggle", IOCTL_SERIAL_SET_RTS, {}, 0, STATUS_INVALID_PARAMETER},
        {"CLR_RTS under transmit toggle", IOCTL_SERIAL_CLR_RTS, {}, 0, STATUS_INVALID_PARAMETER},
    };
    ExpectRefusedWithNothingChanged(underToggle);
}

TEST_F(RefusalTest, TheEscapeCharacterAndTheErrorCharacterExcludeEachOther) {
    OpenWired(2);
    ASSERT_EQ(Control(IOCTL_SERIAL_LSRMST_INSERT, {0x7E}), STATUS_SUCCESS);
    ExpectRefusedWithNothingChanged({
        Refused("SET_CHARS, XON equal to the escape", IOCTL_SERIAL_SET_CHARS,
                SERIAL_CHARS{0, 0, 0, 0, 0x7E, 0x13}),
        Refused("SET_CHARS, XOFF equal to the escape", IOCTL_SERIAL_SET_CHARS,
                SERIAL_CHARS{0, 0, 0, 0, 0x11, 0x7E}),
        HandFlow("error character with an escape set", SERIAL_DTR_CONTROL,
                 SERIAL_RTS_CONTROL | SERIAL_ERROR_CHAR, 10, 10),
    });

    ASSERT_EQ(Control(IOCTL_SERIAL_LSRMST_INSERT, {0}), STATUS_SUCCESS);
    ASSERT_EQ(SetHandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | SERIAL_ERROR_CHAR, 10, 10),
              STATUS_SUCCESS);
    ExpectRefusedWithNothingChanged({
        {"LSRMST_INSERT with the error character on",
         IOCTL_SERIAL_LSRMST_INSERT,
         {0x7E},
         0,
         STATUS_INVALID_PARAMETER},
    });
}

// The quota allocation for a larger ring fails: answered, never raised, and the
// ring stays as it was. So does a ring of gigabytes, which no machine's pool
// holds in one block (the fuzzer's size: before the simulated pool refused such
// blocks, the host's allocator was asked for them).
TEST_F(RefusalTest, ALargerRingThatCannotBeHadChangesNothing) {
    OpenWired(2);
    const SERIAL_QUEUE_SIZE size{port()->ReceiveBufferSize + 1, 0};
    sim::FailPoolAllocationsWithTag(simtest::kComxTag);
    Bad bad = Refused("SET_QUEUE_SIZE without memory", IOCTL_SERIAL_SET_QUEUE_SIZE, size);
    bad.expected = STATUS_INSUFFICIENT_RESOURCES;
    ExpectRefusedWithNothingChanged({bad});
    sim::ClearPoolFaults();

    Bad huge = Refused("SET_QUEUE_SIZE of 3.2 GB", IOCTL_SERIAL_SET_QUEUE_SIZE,
                       SERIAL_QUEUE_SIZE{3200171710u, 0});
    huge.expected = STATUS_INSUFFICIENT_RESOURCES;
    ExpectRefusedWithNothingChanged({huge});
}

// A count that is not positive has nothing to count down.
TEST_F(RefusalTest, AnXoffCounterMustCountAtLeastOneCharacter) {
    OpenWired(2);
    // The code's row answers STATUS_INVALID_DEVICE_REQUEST until its handler is built.
    if (Control(IOCTL_SERIAL_XOFF_COUNTER, sim::Bytes(SERIAL_XOFF_COUNTER{1000, 0, 0x13})) ==
        STATUS_INVALID_DEVICE_REQUEST)
        GTEST_SKIP() << "XOFF_COUNTER is not built yet";
    ExpectRefusedWithNothingChanged({
        Refused("XOFF_COUNTER, Counter 0", IOCTL_SERIAL_XOFF_COUNTER,
                SERIAL_XOFF_COUNTER{1000, 0, 0x13}),
        Refused("XOFF_COUNTER, Counter -1", IOCTL_SERIAL_XOFF_COUNTER,
                SERIAL_XOFF_COUNTER{1000, -1, 0x13}),
    });
}

}  // namespace
