// Device-control dispatch: the frame every code passes through, the buffer and
// power rules of every code, and the answers built from the port settings.
#include "tests/support/port_harness.h"
#include "tests/support/usb_port_harness.h"

#include "control/bridge_ioctl.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

using simtest::PortHarness;
using simtest::SimTest;

// Named so that every case of this file runs under the "Control" test filter.
class DeviceControlTest : public SimTest {};

constexpr ULONG kSerialFunction40 =
    CTL_CODE(FILE_DEVICE_SERIAL_PORT, 40, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kGetBaudRateUnbuffered =
    CTL_CODE(FILE_DEVICE_SERIAL_PORT, 20, METHOD_NEITHER, FILE_ANY_ACCESS);

// A request the dispatch answered and completed itself.
void ExpectAnswered(const sim::IrpHandle& r, NTSTATUS status, ULONG_PTR information = 0) {
    ASSERT_TRUE(r->completed);
    EXPECT_EQ(r->returned, status);
    EXPECT_EQ(r->status, status);
    EXPECT_EQ(r->information, information);
    EXPECT_EQ(r->boost, IO_NO_INCREMENT);
}

template <typename T>
T Reply(const sim::IrpHandle& r) {
    T value{};
    EXPECT_EQ(r->output.size(), sizeof(T));
    std::memcpy(&value, r->output.data(), std::min(sizeof(T), r->output.size()));
    return value;
}

// --- The frame ------------------------------------------------------------------

TEST_F(DeviceControlTest, ClosedPortRefusesBeforeAdmission) {
    PortHarness h(/*open=*/false);
    // With admission consulted, a pending stop would hold the request and a removal
    // would answer DELETE_PENDING: the open check must come first.
    for (ULONG flags : {0u, DEVICE_STATE_STOP_PENDING, DEVICE_STATE_REMOVING}) {
        h.port()->DeviceStateFlags = flags;
        for (ULONG code : {ULONG{IOCTL_SERIAL_GET_BAUD_RATE}, ULONG{IOCTL_SERIAL_GET_COMMCONFIG},
                           ULONG{IOCTL_BRIDGE_PING}}) {
            ExpectAnswered(h.Control(code, {}, 4), STATUS_INVALID_DEVICE_REQUEST);
            EXPECT_EQ(h.port()->PendingRequestCount, 1);
        }
    }
    h.port()->DeviceStateFlags = 0;
}

TEST_F(DeviceControlTest, StopPendingHoldsRequestsAndRemovalTurnsThemAway) {
    PortHarness h;
    PortExtension* port = h.port();
    port->CurrentBaud = 2400;
    port->DeviceStateFlags = DEVICE_STATE_STOP_PENDING;
    auto cancelled = h.Control(IOCTL_SERIAL_SET_XOFF);
    auto held = h.Control(IOCTL_SERIAL_GET_BAUD_RATE, {}, 4);
    EXPECT_EQ(held->returned, STATUS_PENDING);
    EXPECT_FALSE(held->completed);
    EXPECT_EQ(port->PendingRequestCount, 1) << "a held request carries no count";

    EXPECT_TRUE(sim::CancelIrp(cancelled));
    ASSERT_TRUE(cancelled->completed);
    EXPECT_EQ(cancelled->status, STATUS_CANCELLED);
    EXPECT_EQ(cancelled->boost, IO_SERIAL_INCREMENT);

    port->DeviceStateFlags = 0;
    RedispatchStalled(port);
    ASSERT_TRUE(held->completed);
    EXPECT_EQ(held->status, STATUS_SUCCESS);
    EXPECT_EQ(held->boost, IO_NO_INCREMENT);
    EXPECT_EQ(Reply<ULONG>(held), 2400u);
    EXPECT_EQ(port->TxHoldReasons, 0u) << "the cancelled SET_XOFF must never run";

    for (ULONG flags : {DEVICE_STATE_REMOVING, DEVICE_STATE_SURPRISE_REMOVED}) {
        port->DeviceStateFlags = flags;
        ExpectAnswered(h.Control(IOCTL_SERIAL_GET_BAUD_RATE, {}, 4), STATUS_DELETE_PENDING);
        EXPECT_EQ(port->PendingRequestCount, 1);
    }
    port->DeviceStateFlags = 0;
}

TEST_F(DeviceControlTest, ErrorAbortCancelsEverythingButCommStatusUntilItClearsTheErrors) {
    PortHarness h;
    h.port()->HandFlow.ControlHandShake |= SERIAL_ERROR_ABORT;
    h.port()->ErrorFlags = SERIAL_ERROR_FRAMING | SERIAL_ERROR_PARITY;
    for (ULONG code : {ULONG{IOCTL_SERIAL_GET_BAUD_RATE}, ULONG{IOCTL_SERIAL_SET_XOFF},
                       ULONG{IOCTL_SERIAL_GET_COMMCONFIG}, ULONG{IOCTL_BRIDGE_PING}}) {
        ExpectAnswered(h.Control(code, {}, 4), STATUS_CANCELLED);
    }
    EXPECT_EQ(h.port()->TxHoldReasons, 0u) << "a cancelled SET_XOFF must not hold";

    auto status = h.Control(IOCTL_SERIAL_GET_COMMSTATUS, {}, sizeof(SERIAL_STATUS));
    ExpectAnswered(status, STATUS_SUCCESS, sizeof(SERIAL_STATUS));
    EXPECT_EQ(Reply<SERIAL_STATUS>(status).Errors, SERIAL_ERROR_FRAMING | SERIAL_ERROR_PARITY);
    ExpectAnswered(h.Control(IOCTL_SERIAL_GET_BAUD_RATE, {}, 4), STATUS_SUCCESS, 4);
}

TEST_F(DeviceControlTest, UnlistedCodesAreInvalidParameters) {
    PortHarness h;
    const ULONG unlisted[] = {IOCTL_SERIAL_GET_COMMCONFIG,
                              IOCTL_SERIAL_SET_COMMCONFIG,
                              kSerialFunction40,
                              kGetBaudRateUnbuffered,
                              0x221FFC,
                              0x222038,
                              0x22204C,
                              0x22209C,
                              0x2220A0,
                              0x2220B4};
    for (ULONG code : unlisted) {
        ExpectAnswered(h.Control(code, std::vector<uint8_t>(64), 64), STATUS_INVALID_PARAMETER);
    }
}

TEST_F(DeviceControlTest, LongerBuffersAreAcceptedAndAnswerTheRecordSize) {
    PortHarness h;
    ExpectAnswered(h.Control(IOCTL_SERIAL_GET_BAUD_RATE, {}, 64), STATUS_SUCCESS, 4);
    ExpectAnswered(h.Control(IOCTL_SERIAL_GET_PROPERTIES, {}, 200), STATUS_SUCCESS, 64);
    ExpectAnswered(h.Control(IOCTL_SERIAL_GET_COMMSTATUS, {}, 21), STATUS_SUCCESS, 20);
    ExpectAnswered(h.Control(IOCTL_SERIAL_SET_TIMEOUTS, std::vector<uint8_t>(32)), STATUS_SUCCESS);
    ExpectAnswered(h.Control(IOCTL_BRIDGE_PING, {}, 16), STATUS_SUCCESS, 1);
}

// A kernel-mode caller can give lengths without a buffer; codes that check their
// length first must still not touch a buffer that is not there.
TEST_F(DeviceControlTest, LengthWithoutBufferIsRefused) {
    PortHarness h;
    const std::pair<ULONG, ULONG> rows[] = {{IOCTL_SERIAL_GET_STATS, 24},
                                            {IOCTL_SERIAL_GET_WAIT_MASK, 4},
                                            {IOCTL_SERIAL_WAIT_ON_MASK, 4}};
    for (auto [code, length] : rows) {
        sim::IrpSetup bare;
        bare.parameters = [code = code, length = length](IO_STACK_LOCATION& sp) {
            sp.Parameters.DeviceIoControl.IoControlCode = code;
            sp.Parameters.DeviceIoControl.OutputBufferLength = length;
        };
        ExpectAnswered(sim::SendIrp(h.device(), bare), STATUS_INVALID_PARAMETER);
    }
}

// --- Every row of the table --------------------------------------------------------

enum class Check { NoBuffer, BufferFirst, LengthFirst };
enum class Power { No, ByDispatch, ByHandler };

struct Row {
    const char* name;
    ULONG code;
    ULONG in;
    ULONG out;
    Check check;
    Power power;
};

void PrintTo(const Row& row, std::ostream* out) {
    *out << row.name;
}

constexpr Check N = Check::NoBuffer, B = Check::BufferFirst, L = Check::LengthFirst;
constexpr Power P = Power::ByDispatch, U = Power::No;

// From the published records and the driver's documented codes; vendor rows give
// the bytes each code reads and writes. The register writes and the transfer
// control answer Information 2: a caller that gives less output than that is
// refused, so a reply never runs past the caller's buffer.
const Row kRows[] = {
    {"SET_BAUD_RATE", IOCTL_SERIAL_SET_BAUD_RATE, 4, 0, L, P},
    {"SET_QUEUE_SIZE", IOCTL_SERIAL_SET_QUEUE_SIZE, 8, 0, B, U},
    {"SET_LINE_CONTROL", IOCTL_SERIAL_SET_LINE_CONTROL, 3, 0, B, Power::ByHandler},
    {"SET_BREAK_ON", IOCTL_SERIAL_SET_BREAK_ON, 0, 0, N, P},
    {"SET_BREAK_OFF", IOCTL_SERIAL_SET_BREAK_OFF, 0, 0, N, P},
    {"IMMEDIATE_CHAR", IOCTL_SERIAL_IMMEDIATE_CHAR, 1, 0, L, U},
    {"SET_TIMEOUTS", IOCTL_SERIAL_SET_TIMEOUTS, 20, 0, B, U},
    {"GET_TIMEOUTS", IOCTL_SERIAL_GET_TIMEOUTS, 0, 20, B, U},
    {"SET_DTR", IOCTL_SERIAL_SET_DTR, 0, 0, N, P},
    {"CLR_DTR", IOCTL_SERIAL_CLR_DTR, 0, 0, N, P},
    {"RESET_DEVICE", IOCTL_SERIAL_RESET_DEVICE, 0, 0, N, U},
    {"SET_RTS", IOCTL_SERIAL_SET_RTS, 0, 0, N, P},
    {"CLR_RTS", IOCTL_SERIAL_CLR_RTS, 0, 0, N, P},
    {"SET_XOFF", IOCTL_SERIAL_SET_XOFF, 0, 0, N, U},
    {"SET_XON", IOCTL_SERIAL_SET_XON, 0, 0, N, U},
    {"GET_WAIT_MASK", IOCTL_SERIAL_GET_WAIT_MASK, 0, 4, L, U},
    {"SET_WAIT_MASK", IOCTL_SERIAL_SET_WAIT_MASK, 4, 0, L, U},
    {"WAIT_ON_MASK", IOCTL_SERIAL_WAIT_ON_MASK, 0, 4, L, U},
    {"PURGE", IOCTL_SERIAL_PURGE, 4, 0, B, U},
    {"GET_BAUD_RATE", IOCTL_SERIAL_GET_BAUD_RATE, 0, 4, B, U},
    {"GET_LINE_CONTROL", IOCTL_SERIAL_GET_LINE_CONTROL, 0, 3, B, U},
    {"GET_CHARS", IOCTL_SERIAL_GET_CHARS, 0, 6, B, U},
    {"SET_CHARS", IOCTL_SERIAL_SET_CHARS, 6, 0, B, U},
    {"GET_HANDFLOW", IOCTL_SERIAL_GET_HANDFLOW, 0, 16, B, U},
    {"SET_HANDFLOW", IOCTL_SERIAL_SET_HANDFLOW, 16, 0, B, U},
    {"GET_MODEMSTATUS", IOCTL_SERIAL_GET_MODEMSTATUS, 0, 4, B, U},
    {"GET_COMMSTATUS", IOCTL_SERIAL_GET_COMMSTATUS, 0, 20, B, U},
    {"XOFF_COUNTER", IOCTL_SERIAL_XOFF_COUNTER, 12, 0, B, U},
    {"GET_PROPERTIES", IOCTL_SERIAL_GET_PROPERTIES, 0, 64, B, U},
    {"GET_DTRRTS", IOCTL_SERIAL_GET_DTRRTS, 0, 4, B, U},
    {"LSRMST_INSERT", IOCTL_SERIAL_LSRMST_INSERT, 1, 0, B, U},
    {"CONFIG_SIZE", IOCTL_SERIAL_CONFIG_SIZE, 0, 4, B, U},
    {"GET_STATS", IOCTL_SERIAL_GET_STATS, 0, 24, L, U},
    {"CLEAR_STATS", IOCTL_SERIAL_CLEAR_STATS, 0, 0, N, U},
    {"GET_MODEM_CONTROL", IOCTL_SERIAL_GET_MODEM_CONTROL, 0, 4, B, U},
    {"SET_MODEM_CONTROL", IOCTL_SERIAL_SET_MODEM_CONTROL, 4, 0, B, P},
    {"SET_FIFO_CONTROL", IOCTL_SERIAL_SET_FIFO_CONTROL, 4, 0, B, P},
    {"GET_DEVICE_DESCRIPTOR", 0x222000, 0, 18, B, U},
    {"GET_CONFIG_DESCRIPTOR", 0x222004, 0, 0, B, U},
    {"GET_STRING_DESCRIPTOR", 0x222008, 1, 1, B, U},
    {"VENDOR_WRITE", 0x22200C, 4, 0, B, U},
    {"VENDOR_READ", 0x222010, 2, 1, B, U},
    {"PIPE0_READ", 0x222014, 0, 1, B, U},
    {"PIPE1_WRITE", 0x222018, 0, 0, B, U},
    {"PIPE2_READ", 0x22201C, 0, 1, B, U},
    {"SET_CONTROL_LINE_STATE", 0x222020, 2, 0, B, U},
    {"SET_COMM_FEATURE", 0x222024, 2, 0, B, U},
    {"WRITE_CONFIG_MEMORY", 0x222028, 1, 0, B, U},
    {"READ_CONFIG_MEMORY", 0x22202C, 2, 0, B, U},
    {"NO_OPERATION", 0x222030, 0, 0, N, U},
    {"OPEN_KEY", 0x222034, 0, 0, N, U},
    {"SET_CONTROL_BIT4", 0x222050, 1, 0, B, U},
    {"SET_CONTROL_BIT5", 0x222054, 1, 0, B, U},
    {"SET_CONTROL_BIT6", 0x222058, 1, 0, B, U},
    {"SET_CONTROL_BIT7", 0x22205C, 1, 0, B, U},
    {"GET_CONTROL_BIT6", 0x222060, 0, 1, B, U},
    {"GET_CONTROL_BIT7", 0x222064, 0, 1, B, U},
    {"GET_CHIP_TYPE", 0x222068, 0, 1, B, U},
    {"READ_REGISTER_0E", 0x22206C, 0, 1, B, U},
    {"WRITE_REGISTER_0E", 0x222070, 2, 0, B, U},
    {"READ_REGISTER_0F", 0x222074, 0, 1, B, U},
    {"WRITE_REGISTER_0F", 0x222078, 2, 0, B, U},
    {"WRITE_REGISTER_06", 0x22207C, 2, 2, B, U},
    {"READ_REGISTER_06", 0x222080, 0, 2, B, U},
    {"WRITE_REGISTER_07", 0x222084, 2, 2, B, U},
    {"READ_REGISTER_07", 0x222088, 0, 2, B, U},
    {"WRITE_REGISTER_0C", 0x22208C, 2, 2, B, U},
    {"READ_REGISTER_0C", 0x222090, 0, 2, B, U},
    {"WRITE_REGISTER_0D", 0x222094, 2, 2, B, U},
    {"READ_REGISTER_0D", 0x222098, 0, 2, B, U},
    {"CONTROL_TRANSFERS", 0x2220A4, 2, 2, B, U},
    {"SET_CONTROL_BIT3", 0x2220A8, 1, 0, B, U},
    {"GET_CONTROL_BIT3", 0x2220AC, 0, 1, B, U},
    {"PING", 0x2220B0, 0, 1, B, U},
};

TEST_F(DeviceControlTest, TableListsExactlyTheDocumentedCodes) {
    std::set<ULONG> expected, listed;
    for (const Row& row : kRows)
        expected.insert(row.code);
    for (const ControlCode& row : DeviceControlCodes)
        listed.insert(row.Code);
    EXPECT_EQ(listed, expected);
}

class EveryCode : public SimTest, public ::testing::WithParamInterface<Row> {};

bool IsBufferRefusal(NTSTATUS status) {
    return status == STATUS_INVALID_PARAMETER || status == STATUS_BUFFER_TOO_SMALL;
}

TEST_P(EveryCode, BufferChecksFollowTheCodesLengths) {
    const Row& row = GetParam();
    // A configured adapter under the port: the handlers that reach the chip
    // have one to reach.
    simtest::UsbPortHarness adapter(2);
    ASSERT_EQ(adapter.Configure(), STATUS_SUCCESS);
    adapter.port()->DeviceIsOpen = 1;
    struct {
        simtest::UsbPortHarness& a;
        PortExtension* port() const { return a.port(); }
        sim::IrpHandle Control(ULONG code, std::vector<uint8_t> input = {}, ULONG outputLength = 0) {
            return sim::DeviceIoControl(a.device(), code, std::move(input), outputLength);
        }
    } h{adapter};
    adapter.ClearRecords();
    auto bare = h.Control(row.code);
    ASSERT_TRUE(bare->completed);
    switch (row.check) {
        case Check::NoBuffer:
            EXPECT_FALSE(IsBufferRefusal(bare->status));
            break;
        case Check::BufferFirst:
            EXPECT_EQ(bare->status, STATUS_INVALID_PARAMETER);
            break;
        case Check::LengthFirst:
            EXPECT_EQ(bare->status, STATUS_BUFFER_TOO_SMALL);
            break;
    }
    // One byte short of either length, with a buffer present.
    if (row.in > 0) {
        auto r = h.Control(row.code, std::vector<uint8_t>(row.in - 1), std::max<ULONG>(row.out, 1));
        ExpectAnswered(r, STATUS_BUFFER_TOO_SMALL);
    }
    if (row.out > 0) {
        auto r = h.Control(row.code, std::vector<uint8_t>(std::max<ULONG>(row.in, 1)), row.out - 1);
        ExpectAnswered(r, STATUS_BUFFER_TOO_SMALL);
    }
    // A refused request never reached the chip.
    if (row.check != Check::NoBuffer) {
        EXPECT_TRUE(adapter.Records().empty()) << "a refused request sent something";
    }
    // Exactly long enough (a code with no least length still gets a buffer), with
    // contents the handler takes: a purge of the ring, a wait with a mask set, a
    // line of 8 data bits (a word length of 0 is no line).
    const ULONG in = row.check != Check::NoBuffer && row.in == 0 && row.out == 0 ? 1 : row.in;
    std::vector<uint8_t> input(in);
    if (row.code == IOCTL_SERIAL_PURGE) input[0] = SERIAL_PURGE_RXCLEAR;
    if (row.code == IOCTL_SERIAL_SET_LINE_CONTROL)
        input = sim::Bytes(SERIAL_LINE_CONTROL{STOP_BIT_1, NO_PARITY, 8});
    if (row.code == IOCTL_SERIAL_WAIT_ON_MASK) h.port()->WaitMask = SERIAL_EV_RXCHAR;
    if (row.code == IOCTL_SERIAL_XOFF_COUNTER) {
        SERIAL_XOFF_COUNTER counter{0, 1, 0x13};
        std::memcpy(input.data(), &counter, sizeof counter);
    }
    auto exact = h.Control(row.code, input, row.out);
    if (row.code == IOCTL_SERIAL_WAIT_ON_MASK || row.code == IOCTL_SERIAL_XOFF_COUNTER) {
        EXPECT_FALSE(exact->completed) << "it waits for an event or its count";
        sim::CancelIrp(exact);
    }
    ASSERT_TRUE(exact->completed);
    // Requests the queues finish get the serial boost; the dispatch's own none.
    const bool queued = row.code == IOCTL_SERIAL_SET_WAIT_MASK || row.code == IOCTL_SERIAL_WAIT_ON_MASK ||
                        row.code == IOCTL_SERIAL_PURGE || row.code == IOCTL_SERIAL_IMMEDIATE_CHAR ||
                        row.code == IOCTL_SERIAL_XOFF_COUNTER;
    EXPECT_EQ(exact->boost, queued ? IO_SERIAL_INCREMENT : IO_NO_INCREMENT);
    EXPECT_FALSE(IsBufferRefusal(exact->status)) << std::hex << exact->status;
    EXPECT_LE(exact->information, row.out) << "a reply never runs past the caller's buffer";
}

// An open port on a stand-in bus device that answers power requests and keeps
// the device states it was asked for, so that a power-up goes all the way down.
class PortOnBus {
  public:
    PortOnBus() {
        bus_ = sim::CreateSimDriver("bus");
        pdo_ = sim::CreateSimDevice(bus_, u"", 0);
        sim::SetSimDispatch(bus_, IRP_MJ_POWER, [this](PDEVICE_OBJECT, PIRP irp) {
            PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
            if (sp->MinorFunction == IRP_MN_SET_POWER &&
                sp->Parameters.Power.Type == DevicePowerState)
                setPower.push_back(sp->Parameters.Power.State.DeviceState);
            PoStartNextPowerIrp(irp);
            irp->IoStatus.Status = STATUS_SUCCESS;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_SUCCESS;
        });
        NTSTATUS status;
        driver_ = sim::LoadDriver(DriverEntry, u"vodrek", &status);
        EXPECT_EQ(status, STATUS_SUCCESS);
        port_ = sim::CreateBarePort(driver_, pdo_);
        port_->DeviceIsOpen = 1;
    }
    ~PortOnBus() {
        IoDetachDevice(pdo_);
        IoDeleteDevice(port_->DeviceObject);
        sim::DeleteSimDevice(pdo_);
        sim::UnloadDriver(driver_);
    }
    PortOnBus(const PortOnBus&) = delete;
    PortOnBus& operator=(const PortOnBus&) = delete;

    PortExtension* port() const { return port_; }
    sim::IrpHandle Control(ULONG code, std::vector<uint8_t> input, ULONG outputLength) {
        return sim::DeviceIoControl(port_->DeviceObject, code, std::move(input), outputLength);
    }
    std::vector<DEVICE_POWER_STATE> setPower;

  private:
    sim::SimDriver* bus_ = nullptr;
    PDEVICE_OBJECT pdo_ = nullptr;
    PDRIVER_OBJECT driver_ = nullptr;
    PortExtension* port_ = nullptr;
};

TEST_P(EveryCode, OnlyChipCodesWakeTheDeviceBeforeTheirHandler) {
    const Row& row = GetParam();
    PortOnBus h;
    h.port()->DevicePowerState = PowerDeviceD3;
    const ULONG in = row.in == 0 && row.out == 0 ? 1 : row.in;
    auto r = h.Control(row.code, std::vector<uint8_t>(in), row.out);
    ASSERT_TRUE(r->completed);
    if (row.power == Power::ByDispatch) {
        EXPECT_EQ(h.setPower, std::vector<DEVICE_POWER_STATE>{PowerDeviceD0});
        EXPECT_EQ(h.port()->DevicePowerState, PowerDeviceD0);
    } else {
        EXPECT_TRUE(h.setPower.empty());
        EXPECT_EQ(h.port()->DevicePowerState, PowerDeviceD3);
    }
    EXPECT_EQ(h.port()->PendingRequestCount, 1);
}

INSTANTIATE_TEST_SUITE_P(DeviceControl, EveryCode, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row>& info) {
                             return std::string(info.param.name);
                         });

// --- Answers from the settings -----------------------------------------------------

TEST_F(DeviceControlTest, GetLineControlDecodesTheLineControlRegister) {
    PortHarness h;
    struct Case {
        UCHAR lineControl;
        SERIAL_LINE_CONTROL expected;  // StopBits, Parity, WordLength
    };
    const Case cases[] = {
        {0x1A, {STOP_BIT_1, EVEN_PARITY, 7}},  {0x5A, {STOP_BIT_1, EVEN_PARITY, 7}},  // break on
        {0x03, {STOP_BIT_1, NO_PARITY, 8}},    {0x0B, {STOP_BIT_1, ODD_PARITY, 8}},
        {0x2B, {STOP_BIT_1, MARK_PARITY, 8}},  {0x3B, {STOP_BIT_1, SPACE_PARITY, 8}},
        {0x04, {STOP_BITS_1_5, NO_PARITY, 5}}, {0x05, {STOP_BITS_2, NO_PARITY, 6}},
        {0x12, {STOP_BIT_1, NO_PARITY, 7}},  // no parity without the enable bit
    };
    for (const Case& c : cases) {
        h.port()->LineControl = c.lineControl;
        auto r = h.Control(IOCTL_SERIAL_GET_LINE_CONTROL, {}, 3);
        ExpectAnswered(r, STATUS_SUCCESS, 3);
        auto got = Reply<SERIAL_LINE_CONTROL>(r);
        EXPECT_EQ(got.StopBits, c.expected.StopBits) << int(c.lineControl);
        EXPECT_EQ(got.Parity, c.expected.Parity) << int(c.lineControl);
        EXPECT_EQ(got.WordLength, c.expected.WordLength) << int(c.lineControl);
    }
}

TEST_F(DeviceControlTest, SettingsAreReportedAsStored) {
    PortHarness h;
    PortExtension* port = h.port();
    port->CurrentBaud = 115200;
    port->SpecialChars = {0x1A, 0x3F, 0x00, 0x7E, 0x11, 0x13};
    port->HandFlow = {SERIAL_DTR_HANDSHAKE | SERIAL_ERROR_ABORT, SERIAL_AUTO_RECEIVE, 2048, 512};
    port->Timeouts = {10, 20, 30, 40, 50};
    port->WaitMask = SERIAL_EV_RXCHAR | SERIAL_EV_CTS;
    port->PerfStats = {1, 2, 3, 4, 5, 6};
    port->ControlLineState = 0x0103;

    EXPECT_EQ(Reply<ULONG>(h.Control(IOCTL_SERIAL_GET_BAUD_RATE, {}, 4)), 115200u);
    EXPECT_EQ(h.Control(IOCTL_SERIAL_GET_CHARS, {}, 6)->output, sim::Bytes(port->SpecialChars));
    EXPECT_EQ(h.Control(IOCTL_SERIAL_GET_HANDFLOW, {}, 16)->output, sim::Bytes(port->HandFlow));
    EXPECT_EQ(h.Control(IOCTL_SERIAL_GET_TIMEOUTS, {}, 20)->output, sim::Bytes(port->Timeouts));
    EXPECT_EQ(Reply<ULONG>(h.Control(IOCTL_SERIAL_GET_WAIT_MASK, {}, 4)), port->WaitMask);
    EXPECT_EQ(h.Control(IOCTL_SERIAL_GET_STATS, {}, 24)->output, sim::Bytes(port->PerfStats));
    EXPECT_EQ(Reply<ULONG>(h.Control(IOCTL_SERIAL_GET_DTRRTS, {}, 4)), 3u);
    EXPECT_EQ(Reply<ULONG>(h.Control(IOCTL_SERIAL_GET_MODEM_CONTROL, {}, 4)), 0x0103u);
    // Input and output share the buffer: the reply must overwrite what came in.
    EXPECT_EQ(Reply<ULONG>(h.Control(IOCTL_SERIAL_CONFIG_SIZE, {0xFF, 0xFF, 0xFF, 0xFF}, 4)), 0u);
}

TEST_F(DeviceControlTest, SetTimeoutsRefusesOnlyAllThreeReadValuesAtMaxulong) {
    PortHarness h;
    const SERIAL_TIMEOUTS kept = {MAXULONG, 0, 0, 5, 6};
    ExpectAnswered(h.Control(IOCTL_SERIAL_SET_TIMEOUTS, sim::Bytes(kept)), STATUS_SUCCESS);
    EXPECT_EQ(h.Control(IOCTL_SERIAL_GET_TIMEOUTS, {}, 20)->output, sim::Bytes(kept));

    const SERIAL_TIMEOUTS refused = {MAXULONG, MAXULONG, MAXULONG, 1, 2};
    ExpectAnswered(h.Control(IOCTL_SERIAL_SET_TIMEOUTS, sim::Bytes(refused)),
                   STATUS_INVALID_PARAMETER);
    EXPECT_EQ(sim::Bytes(h.port()->Timeouts), sim::Bytes(kept));

    const SERIAL_TIMEOUTS twoAtMax = {MAXULONG, MAXULONG, 0, 0, 0};
    ExpectAnswered(h.Control(IOCTL_SERIAL_SET_TIMEOUTS, sim::Bytes(twoAtMax)), STATUS_SUCCESS);
    EXPECT_EQ(sim::Bytes(h.port()->Timeouts), sim::Bytes(twoAtMax));
}

TEST_F(DeviceControlTest, PropertiesAreFixedExceptTheReceiveBuffer) {
    PortHarness h;
    h.port()->ReceiveBufferSize = 4096;
    // Stale bytes in the shared buffer must not leak into reserved fields.
    auto r = h.Control(IOCTL_SERIAL_GET_PROPERTIES, std::vector<uint8_t>(64, 0xEE), 64);
    ExpectAnswered(r, STATUS_SUCCESS, 64);
    auto p = Reply<SERIAL_COMMPROP>(r);
    EXPECT_EQ(p.PacketLength, 64);
    EXPECT_EQ(p.PacketVersion, 2);
    EXPECT_EQ(p.ServiceMask, 1u);
    EXPECT_EQ(p.Reserved1, 0u);
    EXPECT_EQ(p.MaxTxQueue, 0u);
    EXPECT_EQ(p.MaxRxQueue, 0u);
    EXPECT_EQ(p.MaxBaud, 0x10000000u);
    EXPECT_EQ(p.ProvSubType, 1u);
    EXPECT_EQ(p.ProvCapabilities, 0xFFu);
    EXPECT_EQ(p.SettableParams, 0x7Fu);
    EXPECT_EQ(p.SettableBaud, 0x10067FF9u);
    EXPECT_EQ(p.SettableData, 0x000F);
    EXPECT_EQ(p.SettableStopParity, 0x1F07);
    EXPECT_EQ(p.CurrentTxQueue, 0u);
    EXPECT_EQ(p.CurrentRxQueue, 4096u);
    EXPECT_EQ(p.ProvSpec1, 0u);
    EXPECT_EQ(p.ProvSpec2, 0u);
    EXPECT_EQ(std::vector<uint8_t>(r->output.begin() + 60, r->output.end()),
              std::vector<uint8_t>(4, 0));
}

TEST_F(DeviceControlTest, ClearStatsZeroesBothCounterSets) {
    PortHarness h;
    h.port()->PerfStats = {1, 2, 3, 4, 5, 6};
    h.port()->WmiPerfStats = {7, 8, 9, 10, 11, 12};
    ExpectAnswered(h.Control(IOCTL_SERIAL_CLEAR_STATS), STATUS_SUCCESS);
    const std::vector<uint8_t> zero(sizeof(SERIALPERF_STATS), 0);
    EXPECT_EQ(sim::Bytes(h.port()->PerfStats), zero);
    EXPECT_EQ(sim::Bytes(h.port()->WmiPerfStats), zero);
}

TEST_F(DeviceControlTest, LsrMstInsertRefusesAnEscapeThatClashes) {
    PortHarness h;
    auto insert = [&](UCHAR escape) {
        return h.Control(IOCTL_SERIAL_LSRMST_INSERT, {escape})->status;
    };
    EXPECT_EQ(insert(0x11), STATUS_INVALID_PARAMETER);  // XonChar
    EXPECT_EQ(insert(0x13), STATUS_INVALID_PARAMETER);  // XoffChar
    EXPECT_EQ(h.port()->EscapeChar, 0);
    EXPECT_EQ(insert(0xFF), STATUS_SUCCESS);
    EXPECT_EQ(h.port()->EscapeChar, 0xFF);

    h.port()->HandFlow.FlowReplace |= SERIAL_ERROR_CHAR;
    EXPECT_EQ(insert(0x20), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(h.port()->EscapeChar, 0xFF);
    EXPECT_EQ(insert(0), STATUS_SUCCESS) << "turning insertion off is always allowed";
    EXPECT_EQ(h.port()->EscapeChar, 0);
}

TEST_F(DeviceControlTest, XoffAndXonChangeOnlyTheXonHold) {
    PortHarness h;
    h.port()->TxHoldReasons = TX_HOLD_CTS | TX_HOLD_BREAK;
    ExpectAnswered(h.Control(IOCTL_SERIAL_SET_XOFF), STATUS_SUCCESS);
    EXPECT_EQ(h.port()->TxHoldReasons, TX_HOLD_CTS | TX_HOLD_BREAK | TX_HOLD_XOFF);
    ExpectAnswered(h.Control(IOCTL_SERIAL_SET_XON), STATUS_SUCCESS);
    EXPECT_EQ(h.port()->TxHoldReasons, TX_HOLD_CTS | TX_HOLD_BREAK);
    ExpectAnswered(h.Control(IOCTL_SERIAL_SET_XON), STATUS_SUCCESS);
    EXPECT_EQ(h.port()->TxHoldReasons, TX_HOLD_CTS | TX_HOLD_BREAK);
}

TEST_F(DeviceControlTest, CommStatusReportsTheQueuesAndClearsTheErrors) {
    PortHarness h;
    PortExtension* port = h.port();
    port->ErrorFlags = SERIAL_ERROR_BREAK | SERIAL_ERROR_OVERRUN;
    port->CharsInBuffer = 17;
    port->TotalCharsQueued = 40;
    port->TransmittingImmediate = 1;
    auto first = Reply<SERIAL_STATUS>(h.Control(IOCTL_SERIAL_GET_COMMSTATUS, {}, 20));
    EXPECT_EQ(first.Errors, SERIAL_ERROR_BREAK | SERIAL_ERROR_OVERRUN);
    EXPECT_EQ(first.HoldReasons, 0u);
    EXPECT_EQ(first.AmountInInQueue, 17u);
    EXPECT_EQ(first.AmountInOutQueue, 40u);
    EXPECT_EQ(first.EofReceived, FALSE);
    EXPECT_EQ(first.WaitForImmediate, TRUE);
    EXPECT_EQ(port->ErrorFlags, 0u);
    EXPECT_EQ(Reply<SERIAL_STATUS>(h.Control(IOCTL_SERIAL_GET_COMMSTATUS, {}, 20)).Errors, 0u);
}

TEST_F(DeviceControlTest, CommStatusMapsEachHoldReasonToItsPublishedBit) {
    PortHarness h;
    struct Case {
        ULONG tx, rx, reported;
    };
    const Case cases[] = {
        {TX_HOLD_CTS, 0, SERIAL_TX_WAITING_FOR_CTS},
        {TX_HOLD_DSR, 0, SERIAL_TX_WAITING_FOR_DSR},
        {TX_HOLD_DCD, 0, SERIAL_TX_WAITING_FOR_DCD},
        {TX_HOLD_XOFF, 0, SERIAL_TX_WAITING_FOR_XON},
        {TX_HOLD_BREAK, 0, SERIAL_TX_WAITING_ON_BREAK},
        {0, RX_HOLD_XOFF, SERIAL_TX_WAITING_XOFF_SENT},
        {0, RX_HOLD_DSR, SERIAL_RX_WAITING_FOR_DSR},
        {0, RX_HOLD_DTR | RX_HOLD_RTS, 0},
    };
    for (const Case& c : cases) {
        h.port()->TxHoldReasons = c.tx;
        h.port()->RxHoldReasons = c.rx;
        auto s = Reply<SERIAL_STATUS>(h.Control(IOCTL_SERIAL_GET_COMMSTATUS, {}, 20));
        EXPECT_EQ(s.HoldReasons, c.reported) << "tx " << c.tx << " rx " << c.rx;
    }
}

// A request as the write path would hold it current: only its stack location is read.
struct WriteSlotRequest {
    PIRP irp = IoAllocateIrp(1, FALSE);
    WriteSlotRequest(UCHAR major, ULONG length, ULONG code = 0) {
        IoSetNextIrpStackLocation(irp);
        PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
        sp->MajorFunction = major;
        sp->Parameters.Write.Length = length;  // OutputBufferLength of a device control
        sp->Parameters.DeviceIoControl.IoControlCode = code;
    }
    ~WriteSlotRequest() { IoFreeIrp(irp); }
};

TEST_F(DeviceControlTest, CommStatusCountsOnlyTheUnsentPartOfTheCurrentWrite) {
    PortHarness h;
    PortExtension* port = h.port();
    auto outQueue = [&] {
        return Reply<SERIAL_STATUS>(h.Control(IOCTL_SERIAL_GET_COMMSTATUS, {}, 20))
            .AmountInOutQueue;
    };
    // A 100-byte write with 40 bytes still to send, and 50 bytes queued behind it.
    WriteSlotRequest write(IRP_MJ_WRITE, 100);
    port->CurrentWrite = write.irp;
    port->TotalCharsQueued = 150;
    port->WriteRemaining = 40;
    EXPECT_EQ(outQueue(), 90u);
    port->WriteRemaining = 0;
    EXPECT_EQ(outQueue(), 150u);

    // An XOFF counter counts its one character, whatever its buffer lengths say.
    WriteSlotRequest counter(IRP_MJ_DEVICE_CONTROL, 0, IOCTL_SERIAL_XOFF_COUNTER);
    port->CurrentWrite = counter.irp;
    port->TotalCharsQueued = 51;
    port->WriteRemaining = 1;
    EXPECT_EQ(outQueue(), 51u);
    port->CurrentWrite = nullptr;
}

TEST_F(DeviceControlTest, ModemStatusImageAndOneRingPerNotificationOnOlderChips) {
    PortHarness h;
    auto modemStatus = [&] { return Reply<ULONG>(h.Control(IOCTL_SERIAL_GET_MODEMSTATUS, {}, 4)); };
    const std::pair<USHORT, ULONG> lines[] = {
        {0x0001, SERIAL_DCD_STATE},
        {0x0002, SERIAL_DSR_STATE},
        {0x0008, SERIAL_RI_STATE},
        {0x0080, SERIAL_CTS_STATE},
        {0xFF74, 0},  // bits that are no line
    };
    h.port()->ChipType = 2;
    for (auto [word, image] : lines) {
        h.port()->ModemStatusWord = word;
        EXPECT_EQ(modemStatus(), image) << word;
    }
    for (LONG chip : {-1, 0, 1, 2, 3, 4}) {
        h.port()->ChipType = chip;
        h.port()->ModemStatusWord = 0x008B;
        EXPECT_EQ(modemStatus(), 0xF0u) << chip;
        const bool older = chip == 0 || chip == 1;
        EXPECT_EQ(modemStatus(), older ? 0xB0u : 0xF0u) << chip;
        EXPECT_EQ(h.port()->ModemStatusWord, older ? 0x0083 : 0x008B) << chip;
    }
}

TEST_F(DeviceControlTest, VendorCodesThatNeedNoTransfer) {
    PortHarness h;
    ExpectAnswered(h.Control(IOCTL_BRIDGE_NO_OPERATION), STATUS_SUCCESS);
    auto ping = h.Control(IOCTL_BRIDGE_PING, {}, 1);
    ExpectAnswered(ping, STATUS_SUCCESS, 1);
    EXPECT_EQ(ping->output, std::vector<uint8_t>{1});
    for (LONG chip : {0, 4}) {
        h.port()->ChipType = chip;
        auto r = h.Control(IOCTL_BRIDGE_GET_CHIP_TYPE, {}, 1);
        ExpectAnswered(r, STATUS_SUCCESS, 1);
        EXPECT_EQ(r->output, std::vector<uint8_t>{static_cast<uint8_t>(chip)});
    }
    ExpectAnswered(h.Control(IOCTL_BRIDGE_OPEN_KEY), STATUS_NOT_SUPPORTED);
}

}  // namespace

namespace {

// Found by a PCT schedule of the every-code test (seed 53): an XOFF_COUNTER
// whose character went out arms the transmitter-empty check (timers run on
// clock ticks, so it is still armed a few milliseconds later); cancelled then,
// and the port removed, the check must go with the port.
class XoffCounterAtRemoval : public SimTest {};

TEST_F(XoffCounterAtRemoval, TheArmedTransmitterEmptyCheckGoesWithThePort) {
    {
        simtest::UsbPortHarness adapter(2);
        ASSERT_EQ(adapter.Configure(), STATUS_SUCCESS);
        adapter.port()->DeviceIsOpen = 1;
        std::vector<uint8_t> input(sizeof(SERIAL_XOFF_COUNTER));
        const SERIAL_XOFF_COUNTER counter{0, 1, 0x13};
        std::memcpy(input.data(), &counter, sizeof counter);
        auto r = sim::DeviceIoControl(adapter.device(), IOCTL_SERIAL_XOFF_COUNTER, input, 0);
        sim_.RunFor(3 * sim::kMillisecond);
        ASSERT_EQ(adapter.port()->CurrentXoffCounter, r->irp) << "counting after its character went out";
        sim::CancelIrp(r);
        ASSERT_TRUE(r->completed);
        EXPECT_EQ(r->status, STATUS_CANCELLED);
    }  // the port is removed here: the verifier checks its counts are idle
}

}  // namespace
