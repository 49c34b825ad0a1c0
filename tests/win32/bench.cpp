#include "bench.h"

#include <sim/files.h>
#include <sim/io.h>
#include <sim/registry.h>
#include <sim/simulation.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "sim/win32/host/process.h"
#include "sim/workbench/workbench.h"

namespace w32test {

struct Bench::State {
    sim::Simulation simulation;
    sim::Workbench workbench;
    std::vector<sim::Adapter*> adapters;
    sim::LoopbackPlug* plug = nullptr;
    sim::ScriptedPeer* peer = nullptr;
    sim::SimDriver* filterDriver = nullptr;
    PDEVICE_OBJECT filter = nullptr;
    PDEVICE_OBJECT below = nullptr;
    std::vector<Request> requests;
    std::unique_ptr<sim::win32::Process> process;
};

namespace {

// Records each request on its way to the port.
void Record(Bench::State& st, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    // Plug and Play, power and WMI requests are the system's, not the program's.
    if (sp->MajorFunction == IRP_MJ_PNP || sp->MajorFunction == IRP_MJ_POWER ||
        sp->MajorFunction == IRP_MJ_SYSTEM_CONTROL)
        return;
    Request r;
    r.major = sp->MajorFunction;
    if (sp->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
        r.code = sp->Parameters.DeviceIoControl.IoControlCode;
        const ULONG in = sp->Parameters.DeviceIoControl.InputBufferLength;
        if (in && irp->AssociatedIrp.SystemBuffer) {
            const auto* p = static_cast<const uint8_t*>(irp->AssociatedIrp.SystemBuffer);
            r.input.assign(p, p + in);
        }
    } else if (sp->MajorFunction == IRP_MJ_READ || sp->MajorFunction == IRP_MJ_WRITE) {
        r.length = sp->Parameters.Read.Length;
        if (sp->MajorFunction == IRP_MJ_WRITE && r.length && irp->AssociatedIrp.SystemBuffer) {
            const auto* p = static_cast<const uint8_t*>(irp->AssociatedIrp.SystemBuffer);
            r.input.assign(p, p + r.length);
        }
    }
    st.requests.push_back(std::move(r));
}

}  // namespace

Bench::Bench(BenchOptions options) : state_(std::make_unique<State>()) {
    State& st = *state_;
    const int count = options.wire == Wire::NullModem ? 2 : 1;
    for (int i = 0; i < count; ++i) {
        sim::AdapterOptions a;
        a.variant = options.variant;
        a.portName = i == 0 ? u"COM3" : u"COM4";
        st.adapters.push_back(&st.workbench.AddAdapter(a));
    }
    for (sim::Adapter* adapter : st.adapters)
        EXPECT_EQ(adapter->Plug(), STATUS_SUCCESS);
    switch (options.wire) {
        case Wire::Loopback:
            st.plug = &st.adapters[0]->PlugLoopback(sim::LoopbackWiring{
                true, options.rtsToCts, options.dtrToDsr, options.dtrToDcd, options.dtrToRi});
            break;
        case Wire::Peer: {
            sim::PeerOptions p;
            p.format = sim::CharacterFormat::Plain(options.peerBaud, options.peerDataBits,
                                                   options.peerParity, options.peerStopBits);
            p.obeyRts = options.peerObeysRts;
            p.obeyXonXoff = options.peerObeysXonXoff;
            st.peer = &st.adapters[0]->AttachPeer(p);
            break;
        }
        case Wire::NullModem:
            st.workbench.ConnectNullModem(*st.adapters[0], *st.adapters[1]);
            break;
        case Wire::Nothing:
            break;
    }
    // The recording filter above the first port: every request an open of
    // COM3 makes passes it.
    st.below = st.adapters[0]->Fdo();
    st.filterDriver = sim::CreateSimDriver("request recorder");
    st.filter = sim::CreateSimDevice(st.filterDriver, u"", 0);
    st.filter->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
    State* self = &st;
    for (UCHAR major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
        sim::SetSimDispatch(st.filterDriver, major, [self](PDEVICE_OBJECT, PIRP irp) {
            Record(*self, irp);
            if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_POWER) {
                PoStartNextPowerIrp(irp);
                IoSkipCurrentIrpStackLocation(irp);
                return PoCallDriver(self->below, irp);
            }
            IoSkipCurrentIrpStackLocation(irp);
            return IoCallDriver(self->below, irp);
        });
    }
    IoAttachDeviceToDeviceStack(st.filter, st.below);
    st.process = std::make_unique<sim::win32::Process>();
    st.process->SetPortNames(count == 2 ? std::vector<std::string>{"COM3", "COM4"}
                                        : std::vector<std::string>{"COM3"});
}

Bench::~Bench() {
    State& st = *state_;
    // The process ends first (its handles closed), then the recorder goes.
    st.process.reset();
    IoDetachDevice(st.below);
    sim::DeleteSimDevice(st.filter);
}

bool Bench::Run(const std::function<void()>& body, int64_t limitMs) {
    State& st = *state_;
    const int id = st.process->StartMain([body] {
        body();
        return 0;
    }, "test body");
    return st.simulation.RunUntil([&] { return st.simulation.ThreadFinished(id); },
                                  limitMs * sim::kMillisecond);
}

std::string Bench::Port(int index) const {
    return index == 0 ? "COM3" : "COM4";
}

const std::vector<Request>& Bench::Requests() const {
    return state_->requests;
}

std::vector<uint32_t> Bench::Controls() const {
    std::vector<uint32_t> out;
    for (const Request& r : state_->requests) {
        if (r.major == IRP_MJ_DEVICE_CONTROL)
            out.push_back(r.code);
    }
    return out;
}

void Bench::ClearRequests() {
    state_->requests.clear();
}

uint64_t Bench::ChipBaud() const {
    const auto& line = state_->adapters[0]->Chip().Line();
    return static_cast<uint64_t>(std::llround(static_cast<double>(line.baud.numerator) /
                                              static_cast<double>(line.baud.denominator)));
}

uint8_t Bench::ChipDataBits() const {
    return state_->adapters[0]->Chip().Line().dataBits;
}

uint8_t Bench::ChipParity() const {
    return state_->adapters[0]->Chip().Line().parity;
}

uint8_t Bench::ChipStopBits() const {
    return state_->adapters[0]->Chip().Line().stopBits;
}

bool Bench::ChipDtr() const {
    return state_->adapters[0]->Chip().DtrLine();
}

bool Bench::ChipRts() const {
    return state_->adapters[0]->Chip().RtsLine();
}

bool Bench::ChipBreak() const {
    return state_->adapters[0]->Chip().BreakOn();
}

uint64_t Bench::ChipBytesFromHost() const {
    return state_->adapters[0]->Chip().BytesFromHost();
}

void Bench::PeerSend(const std::string& bytes) {
    state_->peer->Send(std::vector<uint8_t>(bytes.begin(), bytes.end()));
}

void Bench::PeerSendFramed(uint64_t baud, uint8_t dataBits, uint8_t parity, uint8_t stopBits,
                           const std::string& bytes) {
    state_->peer->SendWithFormat(sim::CharacterFormat::Plain(baud, dataBits, parity, stopBits),
                                 std::vector<uint8_t>(bytes.begin(), bytes.end()));
}

void Bench::PeerBreak(int64_t milliseconds) {
    state_->peer->Break(milliseconds * sim::kMillisecond);
}

void Bench::PeerLines(bool cts, bool dsr, bool dcd, bool ri) {
    state_->peer->SetLines(sim::PeerLines{cts, dsr, dcd, ri});
}

std::string Bench::PeerReceived() const {
    const auto bytes = state_->peer->ReceivedBytes();
    return std::string(bytes.begin(), bytes.end());
}

void Bench::Rewire(bool data, bool rtsToCts, bool dtrToDsr, bool dtrToDcd, bool dtrToRi) {
    state_->plug->Rewire(sim::LoopbackWiring{data, rtsToCts, dtrToDsr, dtrToDcd, dtrToRi});
}

int64_t Bench::NowMs() const {
    return state_->simulation.Now() / sim::kMillisecond;
}

std::vector<std::string> Bench::IoErrors() const {
    return sim::IoErrorLog();
}

}  // namespace w32test
