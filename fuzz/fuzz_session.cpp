#include "fuzz/fuzz_session.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include <sim/io.h>
#include <sim/pool.h>
#include <sim/verifier.h>

#include "control/bridge_ioctl.h"

namespace fuzz {

namespace {

// "COMX" in memory order.
constexpr ULONG kDriverPoolTag = 0x584D4F43;

struct Code {
    ULONG code;
    ULONG record;  // bytes of the record it reads or writes; 0: none
};

const Code kCodes[] = {
    {IOCTL_SERIAL_SET_BAUD_RATE, sizeof(SERIAL_BAUD_RATE)},
    {IOCTL_SERIAL_GET_BAUD_RATE, sizeof(SERIAL_BAUD_RATE)},
    {IOCTL_SERIAL_SET_QUEUE_SIZE, sizeof(SERIAL_QUEUE_SIZE)},
    {IOCTL_SERIAL_SET_LINE_CONTROL, sizeof(SERIAL_LINE_CONTROL)},
    {IOCTL_SERIAL_GET_LINE_CONTROL, sizeof(SERIAL_LINE_CONTROL)},
    {IOCTL_SERIAL_SET_BREAK_ON, 0},
    {IOCTL_SERIAL_SET_BREAK_OFF, 0},
    {IOCTL_SERIAL_IMMEDIATE_CHAR, sizeof(UCHAR)},
    {IOCTL_SERIAL_SET_TIMEOUTS, sizeof(SERIAL_TIMEOUTS)},
    {IOCTL_SERIAL_GET_TIMEOUTS, sizeof(SERIAL_TIMEOUTS)},
    {IOCTL_SERIAL_SET_DTR, 0},
    {IOCTL_SERIAL_CLR_DTR, 0},
    {IOCTL_SERIAL_RESET_DEVICE, 0},
    {IOCTL_SERIAL_SET_RTS, 0},
    {IOCTL_SERIAL_CLR_RTS, 0},
    {IOCTL_SERIAL_SET_XOFF, 0},
    {IOCTL_SERIAL_SET_XON, 0},
    {IOCTL_SERIAL_GET_WAIT_MASK, sizeof(ULONG)},
    {IOCTL_SERIAL_SET_WAIT_MASK, sizeof(ULONG)},
    {IOCTL_SERIAL_WAIT_ON_MASK, sizeof(ULONG)},
    {IOCTL_SERIAL_PURGE, sizeof(ULONG)},
    {IOCTL_SERIAL_GET_CHARS, sizeof(SERIAL_CHARS)},
    {IOCTL_SERIAL_SET_CHARS, sizeof(SERIAL_CHARS)},
    {IOCTL_SERIAL_GET_HANDFLOW, sizeof(SERIAL_HANDFLOW)},
    {IOCTL_SERIAL_SET_HANDFLOW, sizeof(SERIAL_HANDFLOW)},
    {IOCTL_SERIAL_GET_MODEMSTATUS, sizeof(ULONG)},
    {IOCTL_SERIAL_GET_COMMSTATUS, sizeof(SERIAL_STATUS)},
    {IOCTL_SERIAL_XOFF_COUNTER, sizeof(SERIAL_XOFF_COUNTER)},
    {IOCTL_SERIAL_GET_PROPERTIES, sizeof(SERIAL_COMMPROP)},
    {IOCTL_SERIAL_GET_DTRRTS, sizeof(ULONG)},
    {IOCTL_SERIAL_LSRMST_INSERT, sizeof(UCHAR)},
    {IOCTL_SERIAL_CONFIG_SIZE, sizeof(ULONG)},
    {IOCTL_SERIAL_GET_COMMCONFIG, 0},
    {IOCTL_SERIAL_SET_COMMCONFIG, 0},
    {IOCTL_SERIAL_GET_STATS, sizeof(SERIALPERF_STATS)},
    {IOCTL_SERIAL_CLEAR_STATS, 0},
    {IOCTL_SERIAL_GET_MODEM_CONTROL, sizeof(ULONG)},
    {IOCTL_SERIAL_SET_MODEM_CONTROL, sizeof(ULONG)},
    {IOCTL_SERIAL_SET_FIFO_CONTROL, sizeof(ULONG)},
    {IOCTL_BRIDGE_GET_DEVICE_DESCRIPTOR, 18},
    {IOCTL_BRIDGE_GET_CONFIG_DESCRIPTOR, 39},
    {IOCTL_BRIDGE_GET_STRING_DESCRIPTOR, 4},
    {IOCTL_BRIDGE_VENDOR_WRITE, 4},
    {IOCTL_BRIDGE_VENDOR_READ, 4},
    {IOCTL_BRIDGE_PIPE0_READ, 10},
    {IOCTL_BRIDGE_PIPE1_WRITE, 8},
    {IOCTL_BRIDGE_PIPE2_READ, 8},
    {IOCTL_BRIDGE_SET_CONTROL_LINE_STATE, 2},
    {IOCTL_BRIDGE_SET_COMM_FEATURE, 2},
    {IOCTL_BRIDGE_WRITE_CONFIG_MEMORY, 2},
    {IOCTL_BRIDGE_READ_CONFIG_MEMORY, 2},
    {IOCTL_BRIDGE_NO_OPERATION, 0},
    {IOCTL_BRIDGE_OPEN_KEY, 4},
    {IOCTL_BRIDGE_SET_CONTROL_BIT4, 1},
    {IOCTL_BRIDGE_SET_CONTROL_BIT5, 1},
    {IOCTL_BRIDGE_SET_CONTROL_BIT6, 1},
    {IOCTL_BRIDGE_SET_CONTROL_BIT7, 1},
    {IOCTL_BRIDGE_GET_CONTROL_BIT6, 1},
    {IOCTL_BRIDGE_GET_CONTROL_BIT7, 1},
    {IOCTL_BRIDGE_GET_CHIP_TYPE, 4},
    {IOCTL_BRIDGE_READ_REGISTER_0E, 2},
    {IOCTL_BRIDGE_WRITE_REGISTER_0E, 2},
    {IOCTL_BRIDGE_READ_REGISTER_0F, 2},
    {IOCTL_BRIDGE_WRITE_REGISTER_0F, 2},
    {IOCTL_BRIDGE_WRITE_REGISTER_06, 2},
    {IOCTL_BRIDGE_READ_REGISTER_06, 2},
    {IOCTL_BRIDGE_WRITE_REGISTER_07, 2},
    {IOCTL_BRIDGE_READ_REGISTER_07, 2},
    {IOCTL_BRIDGE_WRITE_REGISTER_0C, 2},
    {IOCTL_BRIDGE_READ_REGISTER_0C, 2},
    {IOCTL_BRIDGE_WRITE_REGISTER_0D, 2},
    {IOCTL_BRIDGE_READ_REGISTER_0D, 2},
    {IOCTL_BRIDGE_CONTROL_TRANSFERS, 2},
    {IOCTL_BRIDGE_SET_CONTROL_BIT3, 1},
    {IOCTL_BRIDGE_GET_CONTROL_BIT3, 1},
    {IOCTL_BRIDGE_PING, 4},
};
constexpr size_t kCodeCount = sizeof(kCodes) / sizeof(kCodes[0]);

// The settings an input may change and the next one gets back: each read at
// the first open, written back with its set code.
const std::pair<ULONG, ULONG> kSettings[] = {
    {IOCTL_SERIAL_GET_BAUD_RATE, IOCTL_SERIAL_SET_BAUD_RATE},
    {IOCTL_SERIAL_GET_LINE_CONTROL, IOCTL_SERIAL_SET_LINE_CONTROL},
    {IOCTL_SERIAL_GET_HANDFLOW, IOCTL_SERIAL_SET_HANDFLOW},
    {IOCTL_SERIAL_GET_CHARS, IOCTL_SERIAL_SET_CHARS},
    {IOCTL_SERIAL_GET_TIMEOUTS, IOCTL_SERIAL_SET_TIMEOUTS},
};

}  // namespace

std::vector<uint8_t> Input::Bytes(size_t count) {
    size_t n = count < Left() ? count : Left();
    std::vector<uint8_t> out(data_ + used_, data_ + used_ + n);
    used_ += n;
    return out;
}

void Finding(const std::string& what) {
    std::fprintf(stderr, "\n*** FINDING: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

ULONG RecordSize(ULONG code) {
    for (const Code& c : kCodes)
        if (c.code == code) return c.record;
    return 0;
}

ULONG PickControlCode(Input& in) {
    uint8_t selector = in.Byte();
    if (selector < 0xF0) return kCodes[selector % kCodeCount].code;
    // An unknown function of the serial device type, of the driver's own
    // range, or any value at all.
    switch (selector & 3) {
    case 0:
        return CTL_CODE(FILE_DEVICE_SERIAL_PORT, in.Byte(), in.Byte() & 3, in.Byte() & 3);
    case 1:
        return CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800 + in.Byte(), in.Byte() & 3, in.Byte() & 3);
    default:
        return in.Dword();
    }
}

ULONG PickLength(Input& in, ULONG exact) {
    switch (in.Byte() % 8) {
    case 0: return 0;
    case 1: return exact > 1 ? exact - 1 - in.Byte() % (exact - 1) : 1;  // short
    case 2: return exact + 1 + in.Byte() % 16;                            // a little more
    case 3: return 4096 + in.Word();                                      // large
    case 4: return in.Byte();                                             // any small length
    default: return exact;
    }
}

std::vector<uint8_t> Contents(Input& in, ULONG length) {
    std::vector<uint8_t> out = in.Bytes(length < 64 ? length : 64);
    // A large buffer is mostly one repeated byte: the input stays small.
    uint8_t fill = out.empty() ? 0 : out.back();
    out.resize(length, fill);
    return out;
}

ULONG AnyControl(Input& in, sim::File& file, Requests& requests, sim::FileRequestHandle* issued) {
    const ULONG code = PickControlCode(in);
    const ULONG record = RecordSize(code);
    std::vector<uint8_t> input = Contents(in, PickLength(in, record));
    const ULONG outputLength = PickLength(in, record);
    if (!file.IsOpen()) return code;
    if (std::getenv("VODREK_FUZZ_TRACE"))
        std::fprintf(stderr, "    control %08x in %zu out %u\n", code, input.size(), outputLength);
    sim::FileRequestHandle request = file.DeviceIoControl(code, std::move(input), outputLength);
    if (issued) *issued = request;
    requests.Add(std::move(request));
    return code;
}

size_t DriverPoolBlocks() { return sim::PoolBlocksWithTag(kDriverPoolTag); }

void Requests::Prune() {
    std::vector<sim::FileRequestHandle> live;
    for (auto& r : live_)
        if (!r->Completed()) live.push_back(std::move(r));
    live_ = std::move(live);
}

void Requests::ExpectAllComplete(sim::Simulation& sim, sim::Ticks limit, const char* when) {
    sim.RunUntil(
        [&] {
            for (auto& r : live_)
                if (!r->Completed()) return false;
            for (int id : threads_)
                if (!sim.ThreadFinished(id)) return false;
            return true;
        },
        limit);
    for (auto& r : live_) {
        if (!r->Completed())
            Finding(std::string("a request was still pending ") + when);
    }
    for (int id : threads_) {
        if (!sim.ThreadFinished(id))
            Finding(std::string("a flush was still waiting ") + when);
    }
    Clear();
}

OpenPort::OpenPort(sim::AdapterOptions options) {
    sim_ = std::make_unique<sim::Simulation>();
    bench_ = std::make_unique<sim::Workbench>();
    adapter_ = &bench_->AddAdapter(std::move(options));
    if (adapter_->Plug() != STATUS_SUCCESS) Finding("the adapter did not start");
    // Bytes written come back as bytes read; the modem lines follow the outputs.
    adapter_->PlugLoopback();
    // Nothing keeps what happened: the fuzzer runs for millions of inputs.
    adapter_->Capture().SetKeepRecords(false);
    Open();
    // A port starts at rate 0 until an application sets one, and a chip at
    // rate 0 sends nothing: 9600 8N1, as most applications set it first.
    SERIAL_BAUD_RATE rate{9600};
    Control(IOCTL_SERIAL_SET_BAUD_RATE, sim::Bytes(rate), 0, "9600 baud could not be set");
    SERIAL_LINE_CONTROL line{STOP_BIT_1, NO_PARITY, 8};
    Control(IOCTL_SERIAL_SET_LINE_CONTROL, sim::Bytes(line), 0, "8N1 could not be set");
    for (auto [get, set] : kSettings) {
        auto r = file_.DeviceIoControl(get, {}, RecordSize(get));
        sim_->RunUntil([&] { return r->Completed(); }, sim::kSecond);
        if (r->Status() != STATUS_SUCCESS) Finding("a setting could not be read at the first open");
        settings_.push_back({set, r->Output()});
    }
    settledPool_ = SIZE_MAX;
    settledPool_ = Settle();
    settledChip_ = ChipState();
}

std::vector<uint8_t> OpenPort::ChipState() const {
    const sim::BridgeChip& chip = adapter_->Chip();
    std::vector<uint8_t> state;
    for (uint16_t word : chip.Registers()) {
        state.push_back(static_cast<uint8_t>(word));
        state.push_back(static_cast<uint8_t>(word >> 8));
    }
    state.insert(state.end(), chip.ConfigMemory().begin(), chip.ConfigMemory().end());
    const uint16_t feature = chip.CommFeature();
    state.push_back(static_cast<uint8_t>(feature));
    state.push_back(static_cast<uint8_t>(feature >> 8));
    state.push_back(chip.BreakOn());
    state.push_back(chip.FifosHeldInReset());
    return state;
}

OpenPort::~OpenPort() {
    if (file_.IsOpen()) file_.Close();
    sim_->RunFor(sim::kSecond);
    bench_.reset();
    sim_->RunFor(sim::kSecond);
    sim_.reset();
}

namespace {
// Never destroyed at exit: the simulator's own statics may be gone by then.
std::unique_ptr<OpenPort>& Shared() {
    static auto* port = new std::unique_ptr<OpenPort>();
    return *port;
}
}  // namespace

OpenPort& SharedPort() {
    if (!Shared()) Shared() = std::make_unique<OpenPort>();
    return *Shared();
}

void EndSharedInput(Requests& requests) {
    OpenPort& port = SharedPort();
    port.EndInput(requests);
    // Its end (the adapter removed, the driver unloaded) checks the pool, the
    // requests and the threads of the whole machine.
    if (port.NeedsFreshMachine()) {
        if (std::getenv("VODREK_FUZZ_TRACE")) std::fprintf(stderr, "the next input gets a fresh machine\n");
        Shared().reset();
    }
}

void OpenPort::Note(ULONG code) {
    const Effect effect = EffectOf(code);
    changed_ |= effect != Effect::None;
    chipChanged_ |= effect == Effect::Chip;
}

void OpenPort::Note(ULONG code, const sim::FileRequestHandle& request) {
    if (!request) return;
    const Effect effect = EffectOf(code);
    changed_ |= effect != Effect::None;
    if (effect == Effect::Chip) chipWrites_.push_back(request);
}

OpenPort::Effect OpenPort::EffectOf(ULONG code) {
    switch (code) {
    // Reading codes leave the port as it was.
    case IOCTL_SERIAL_GET_BAUD_RATE:
    case IOCTL_SERIAL_GET_LINE_CONTROL:
    case IOCTL_SERIAL_GET_TIMEOUTS:
    case IOCTL_SERIAL_GET_WAIT_MASK:
    case IOCTL_SERIAL_GET_CHARS:
    case IOCTL_SERIAL_GET_HANDFLOW:
    case IOCTL_SERIAL_GET_MODEMSTATUS:
    case IOCTL_SERIAL_GET_COMMSTATUS:
    case IOCTL_SERIAL_GET_PROPERTIES:
    case IOCTL_SERIAL_GET_DTRRTS:
    case IOCTL_SERIAL_GET_STATS:
    case IOCTL_SERIAL_CONFIG_SIZE:
    case IOCTL_SERIAL_GET_MODEM_CONTROL:
    case IOCTL_BRIDGE_GET_DEVICE_DESCRIPTOR:
    case IOCTL_BRIDGE_GET_CONFIG_DESCRIPTOR:
    case IOCTL_BRIDGE_GET_STRING_DESCRIPTOR:
    case IOCTL_BRIDGE_VENDOR_READ:
    case IOCTL_BRIDGE_PIPE0_READ:
    case IOCTL_BRIDGE_PIPE2_READ:
    case IOCTL_BRIDGE_READ_CONFIG_MEMORY:
    case IOCTL_BRIDGE_NO_OPERATION:
    case IOCTL_BRIDGE_OPEN_KEY:
    case IOCTL_BRIDGE_GET_CONTROL_BIT6:
    case IOCTL_BRIDGE_GET_CONTROL_BIT7:
    case IOCTL_BRIDGE_GET_CONTROL_BIT3:
    case IOCTL_BRIDGE_GET_CHIP_TYPE:
    case IOCTL_BRIDGE_READ_REGISTER_0E:
    case IOCTL_BRIDGE_READ_REGISTER_0F:
    case IOCTL_BRIDGE_READ_REGISTER_06:
    case IOCTL_BRIDGE_READ_REGISTER_07:
    case IOCTL_BRIDGE_READ_REGISTER_0C:
    case IOCTL_BRIDGE_READ_REGISTER_0D:
    case IOCTL_BRIDGE_PING:
    case IOCTL_BRIDGE_CONTROL_TRANSFERS:  // restarted after every input
        return Effect::None;
    // Settings a new handle and the restored records put back.
    case IOCTL_SERIAL_SET_BAUD_RATE:
    case IOCTL_SERIAL_SET_QUEUE_SIZE:
    case IOCTL_SERIAL_SET_LINE_CONTROL:
    case IOCTL_SERIAL_SET_BREAK_ON:
    case IOCTL_SERIAL_SET_BREAK_OFF:
    case IOCTL_SERIAL_IMMEDIATE_CHAR:
    case IOCTL_SERIAL_SET_TIMEOUTS:
    case IOCTL_SERIAL_SET_DTR:
    case IOCTL_SERIAL_CLR_DTR:
    case IOCTL_SERIAL_SET_RTS:
    case IOCTL_SERIAL_CLR_RTS:
    case IOCTL_SERIAL_SET_XOFF:
    case IOCTL_SERIAL_SET_XON:
    case IOCTL_SERIAL_SET_WAIT_MASK:
    case IOCTL_SERIAL_WAIT_ON_MASK:
    case IOCTL_SERIAL_PURGE:
    case IOCTL_SERIAL_SET_CHARS:
    case IOCTL_SERIAL_SET_HANDFLOW:
    case IOCTL_SERIAL_XOFF_COUNTER:
    case IOCTL_SERIAL_CLEAR_STATS:
        // (The internal codes share their values with the first four of these.)
        return Effect::Setting;
    default:
        // The modem control and FIFO registers, the chip's vendor requests,
        // and codes nobody assigned.
        return Effect::Chip;
    }
}

void OpenPort::Open() {
    NTSTATUS status;
    file_ = sim::File::Open(u"\\\\.\\COM3", &status, sim::OverlappedOpen());
    if (status != STATUS_SUCCESS) Finding("the port did not open: " + std::to_string(status));
    sim_->RunUntilIdle();
}

void OpenPort::Reopen() {
    if (file_.IsOpen()) {
        NTSTATUS status = file_.Close();
        if (status != STATUS_SUCCESS) Finding("the handle did not close: " + std::to_string(status));
    }
    sim_->RunFor(sim::kMillisecond);
    Open();
}

void OpenPort::Restore() {
    Reopen();
    for (auto& [set, record] : settings_) {
        auto r = file_.DeviceIoControl(set, record, 0);
        sim_->RunUntil([&] { return r->Completed(); }, sim::kSecond);
        if (r->Status() != STATUS_SUCCESS) Finding("a setting could not be restored");
    }

    changed_ = false;
}

void OpenPort::BeginInput() {
    ++inputs_;
    if (std::getenv("VODREK_FUZZ_TRACE")) std::fprintf(stderr, "input %zu, pool %zu\n", inputs_, DriverPoolBlocks());
    if (changed_ || !file_.IsOpen()) Restore();
    sim_->ClearDebugLog();
    adapter_->Chip().ClearControlLog();
}

void OpenPort::Control(ULONG code, std::vector<uint8_t> input, ULONG outputLength, const char* what) {
    auto r = file_.DeviceIoControl(code, std::move(input), outputLength);
    sim_->RunUntil([&] { return r->Completed(); }, sim::kSecond);
    if (r->Status() != STATUS_SUCCESS) Finding(std::string(what) + ": " + std::to_string(r->Status()));
}

size_t OpenPort::Settle() {
    // Bytes still buffered or on their way out would be the next input's; the
    // chip's continuous transfers run again if an input stopped them or a full
    // buffer held them.
    ULONG clear = SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT | SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR;
    Control(IOCTL_SERIAL_PURGE, sim::Bytes(clear), 0, "the purge between inputs failed");
    USHORT restart = 0;
    Control(IOCTL_BRIDGE_CONTROL_TRANSFERS, sim::Bytes(restart), sizeof(USHORT),
            "the chip's transfers could not be restarted");
    // Transfers of the last bytes may still be on the bus, behind a full FIFO
    // at a slow rate: they end by themselves.
    sim_->RunUntil([&] { return DriverPoolBlocks() <= settledPool_; }, 120 * sim::kSecond);
    return DriverPoolBlocks();
}

// The driver's pool blocks, one line each (size and allocation number). Only on
// the way to a finding: the listing lets go of every block.
std::string DriverPoolListing() {
    sim::ExpectViolation leak(sim::Rule::PoolLeak);
    sim::CheckNoPoolLeft("listed");
    std::string listing;
    const std::string& all = leak.LastMessage();
    size_t start = 0;
    while (start < all.size()) {
        size_t end = all.find('\n', start);
        if (end == std::string::npos) end = all.size();
        std::string line = all.substr(start, end - start);
        if (line.find("'COMX'") != std::string::npos) listing += "\n" + line;
        start = end + 1;
    }
    return listing;
}

void OpenPort::EndInput(Requests& requests) {
    // Whatever is still pending goes when cancelled.
    if (file_.IsOpen()) file_.CancelIoEx();
    requests.ExpectAllComplete(*sim_, 10 * sim::kSecond, "after CancelIoEx");
    // A write to the chip the driver refused up front left everything as it was.
    for (const sim::FileRequestHandle& r : chipWrites_) {
        const NTSTATUS status = r->Status();
        chipChanged_ |= status != STATUS_INVALID_PARAMETER && status != STATUS_BUFFER_TOO_SMALL &&
                        status != STATUS_INVALID_DEVICE_REQUEST && status != STATUS_NOT_SUPPORTED;
    }
    chipWrites_.clear();
    // The input's own settings may hold bytes on the pipe for good (a flow
    // control that waits for the far end, say): counted once they are undone.
    if (chipChanged_) return;
    if (changed_) Restore();
    if (!file_.IsOpen()) Reopen();
    const size_t blocks = Settle();
    // Whatever else reached the chip's own state (a request that went on after
    // answering, say): the next input starts from a fresh machine all the same.
    if (ChipState() != settledChip_) chipChanged_ = true;
    if (blocks > settledPool_) {
        const sim::BridgeChip& chip = adapter_->Chip();
        const sim::FlowControl flow = chip.DecodedFlowControl();
        std::fprintf(stderr,
            "chip: transmit FIFO %zu, receive FIFO %zu, XOFF received %d, gated by CTS %d DSR %d, "
            "xon/xoff %d, FIFOs held %d, suspended %d, RTS %d DTR %d, CTS %d, bulk-out URBs %zu, "
            "UART on %d, rate field %08x, break %d\n",
            chip.TransmitFifoLevel(), chip.ReceiveFifoLevel(), chip.XoffReceived(),
            flow.transmitGatedByCts, flow.transmitGatedByDsr, flow.xonXoff, chip.FifosHeldInReset(),
            chip.Suspended(), chip.RtsLine(), chip.DtrLine(), chip.Inputs().cts,
            adapter_->Usb().PendingUrbs(chip.BulkOutEndpoint()), flow.uartEnabled,
            static_cast<unsigned>(chip.Line().rateField), chip.BreakOn());
        Finding("input " + std::to_string(inputs_) + " of this run: the driver holds " + std::to_string(blocks - settledPool_) +
                " pool blocks more than before the input, with no request outstanding:" +
                DriverPoolListing());
    }
}

}  // namespace fuzz
