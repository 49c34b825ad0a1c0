// The loopback plug, the null-modem cable and the scripted peer.
#include <sim/serial_wires.h>

#include <algorithm>
#include <deque>

#include "bridge_uart.h"
#include "serial_line.h"

namespace sim {
namespace {

Ticks Now() {
    return Simulation::Current().Now();
}

LineTime LineNow() {
    return ToLineTime(Now());
}

}  // namespace

// --- loopback plug ---------------------------------------------------------------------

LoopbackPlug::LoopbackPlug(BridgeChip& chip, LoopbackWiring wiring) : chip_(chip), wiring_(wiring) {
    ChipUart& uart = chip_.Uart();
    uart.Plug(wiring_.data ? &uart.TransmitLine() : nullptr);
    uart.OnOutputsChanged([this] { Apply(); });
    Apply();
}

LoopbackPlug::~LoopbackPlug() {
    chip_.Uart().Unplug();
}

void LoopbackPlug::Rewire(LoopbackWiring wiring) {
    const bool dataChanged = wiring.data != wiring_.data;
    wiring_ = wiring;
    if (dataChanged) {
        ChipUart& uart = chip_.Uart();
        uart.ConnectReceive(wiring_.data ? &uart.TransmitLine() : nullptr);
    }
    Apply();
}

void LoopbackPlug::Apply() {
    ChipUart& uart = chip_.Uart();
    const bool rts = uart.RtsOut();
    const bool dtr = uart.DtrOut();
    ModemInputs in;
    in.cts = wiring_.rtsToCts && rts;
    in.dsr = wiring_.dtrToDsr && dtr;
    in.dcd = wiring_.dtrToDcd && dtr;
    in.ri = wiring_.dtrToRi && dtr;
    uart.SetInputs(in);
}

// --- null-modem cable --------------------------------------------------------------------

NullModemCable::NullModemCable(BridgeChip& a, BridgeChip& b) : a_(a), b_(b) {
    ChipUart& ua = a_.Uart();
    ChipUart& ub = b_.Uart();
    ua.Plug(&ub.TransmitLine());
    ub.Plug(&ua.TransmitLine());
    ua.OnOutputsChanged([this] { Apply(); });
    ub.OnOutputsChanged([this] { Apply(); });
    Apply();
}

NullModemCable::~NullModemCable() {
    a_.Uart().Unplug();
    b_.Uart().Unplug();
}

void NullModemCable::Apply() {
    ChipUart& ua = a_.Uart();
    ChipUart& ub = b_.Uart();
    auto from = [](const ChipUart& far) {
        ModemInputs in;
        in.cts = far.RtsOut();
        in.dsr = in.dcd = far.DtrOut();
        return in;
    };
    ua.SetInputs(from(ub));
    ub.SetInputs(from(ua));
}

// --- scripted peer -----------------------------------------------------------------------

struct ScriptedPeer::Impl {
    enum class Kind : uint8_t { Bytes, Gap, Break, Lines };
    // A step of the script stays until all of it has begun on the line; `next`
    // runs ahead of `begun` over what is laid, and steps back when flow control
    // takes it back.
    struct Step {
        Kind kind = Kind::Bytes;
        std::vector<uint8_t> bytes;
        const serial::FrameLayout* layout = nullptr;  // bytes
        LineTime notBefore = 0;                       // bytes: the first one's earliest start
        LineTime duration = 0;                        // gap, break
        PeerLines lines;
        size_t next = 0;   // bytes laid (1 once a gap, break or line change is)
        size_t begun = 0;  // bytes begun
        size_t Size() const { return kind == Kind::Bytes ? bytes.size() : 1; }
    };
    struct Laid {  // on the line, not yet begun
        LineTime start;
        LineTime period;  // between frames; 0 for a gap or a break
        uint64_t count;
        LineTime end;
        Step* step;
    };

    Impl(BridgeChip& chip, PeerOptions options) : chip(chip), options(std::move(options)) {
        sink.plain = [this](LineTime at, LineTime period, const uint8_t* values, size_t n) {
            for (size_t i = 0; i < n; ++i) {
                ReceivedCharacter ch;
                ch.at = at + static_cast<LineTime>(i) * period;
                ch.value = values[i];
                received.push_back(ch);
            }
        };
        sink.single = [this](const ReceivedCharacter& ch) { Deliver(ch); };
    }

    bool Held() const {
        const ChipUart& uart = chip.Uart();
        return (options.obeyRts && !uart.RtsOut()) || (options.obeyDtr && !uart.DtrOut()) ||
               (options.obeyXonXoff && xoffReceived);
    }

    void Watch() {
        if (options.obeyXonXoff)
            receiver.Watch({options.xonChar, options.xoffChar});
        else
            receiver.Watch({});
    }

    void Deliver(const ReceivedCharacter& ch) {
        received.push_back(ch);
        if (!options.obeyXonXoff || ch.parityError || ch.framingError || ch.breakCondition)
            return;
        if (ch.value == options.xoffChar)
            xoffReceived = true;
        else if (ch.value == options.xonChar)
            xoffReceived = false;
    }

    void Advance(LineTime now) {
        while (!laid.empty() && laid.front().start <= now) {
            Laid& l = laid.front();
            if (l.period > 0) {
                const uint64_t n = std::min<uint64_t>(
                    l.count, static_cast<uint64_t>((now - l.start) / l.period) + 1);
                l.step->begun += n;
                sent += n;
                lineFreeAt = std::max(lineFreeAt, l.start + static_cast<LineTime>(n) * l.period);
                if (n < l.count) {
                    l.start += static_cast<LineTime>(n) * l.period;
                    l.count -= n;
                    break;
                }
            } else {
                l.step->begun = 1;
                lineFreeAt = std::max(lineFreeAt, l.end);
            }
            laid.pop_front();
        }
        while (!script.empty() && script.front().begun >= script.front().Size())
            script.pop_front();
    }

    // What has not begun is taken back: its steps go back to where they had begun.
    void Retract(LineTime now) {
        if (laid.empty())
            return;
        txLine.RetractAfter(now);
        for (size_t i = 0; i < laid.size(); ++i)
            laid[i].step->next = laid[i].step->begun;
        laid.clear();
    }

    void Lay(LineTime now) {
        nextLay = serial::kForever;
        serial::SerialLine::Batch batch(txLine);
        const LineTime lookahead = ToLineTime(options.lookahead);
        const LineTime horizon = now + lookahead;
        LineTime t = std::max({now, lineFreeAt, laid.empty() ? 0 : laid.back().end});
        bool held = Held();
        for (Step& s : script) {
            if (s.next >= s.Size())
                continue;
            if (s.kind == Kind::Lines) {
                if (t > now) {
                    nextLay = t;  // the script reaches it then
                    return;
                }
                s.next = s.begun = 1;
                lines = s.lines;
                chip.Uart().SetInputs(lines);
                held = Held();
                continue;
            }
            if (held)
                return;
            if (t >= horizon) {
                nextLay = t - lookahead / 2;
                return;
            }
            switch (s.kind) {
                case Kind::Bytes: {
                    const serial::FrameLayout& l = *s.layout;
                    if (!l.clock.Running()) {
                        s.next = s.begun = s.bytes.size();  // no rate: nothing can be sent
                        continue;
                    }
                    const LineTime start = s.next == 0 ? std::max(t, s.notBefore) : t;
                    if (start >= horizon) {
                        nextLay = start - lookahead / 2;
                        return;
                    }
                    const uint64_t fit =
                        static_cast<uint64_t>((horizon - start + l.length - 1) / l.length);
                    const size_t n =
                        static_cast<size_t>(std::min<uint64_t>(fit, s.bytes.size() - s.next));
                    const LineTime end = txLine.AppendFrames(start, &l, s.bytes.data() + s.next, n);
                    if (!laid.empty() && laid.back().step == &s && laid.back().end == start) {
                        laid.back().count += n;
                        laid.back().end = end;
                    } else {
                        laid.push_back({start, l.length, n, end, &s});
                    }
                    s.next += n;
                    t = end;
                    if (s.next < s.bytes.size()) {
                        nextLay = std::max(now + 1, t - lookahead / 2);
                        return;
                    }
                    break;
                }
                case Kind::Gap:
                    laid.push_back({t, 0, 1, t + s.duration, &s});
                    s.next = 1;
                    t += s.duration;
                    break;
                case Kind::Break: {
                    txLine.AppendBreak(t, t + s.duration);
                    // Then mark for a bit time, so the chip sees the break end.
                    const LineTime bit = layout ? layout->clock.HalfBits(2) : 0;
                    laid.push_back({t, 0, 1, t + s.duration + bit, &s});
                    s.next = 1;
                    t += s.duration + bit;
                    break;
                }
                case Kind::Lines:
                    break;
            }
        }
    }

    void Service() {
        if (busy) {
            again = true;
            return;
        }
        busy = true;
        do {
            again = false;
            const LineTime now = LineNow();
            receiver.Take(now, sink);
            if (options.obeyXonXoff)
                receiver.DecodeAhead(SIZE_MAX);  // to be woken at the next XON or XOFF
            Advance(now);
            if (Held()) {
                serial::SerialLine::Batch batch(txLine);
                Retract(now);
            }
            Lay(now);
        } while (again);
        busy = false;
        ScheduleWake();
    }

    void ScheduleWake() {
        LineTime wake = std::min(nextLay, receiver.NextNotable());
        if (wake == serial::kForever)
            return;
        Simulation& sim = Simulation::Current();
        const Ticks at = std::max(LineTimeToTick(wake), sim.Now());
        if (wakeEvent != 0 && wakeAt <= at)
            return;
        if (wakeEvent != 0)
            sim.CancelScheduled(wakeEvent);
        wakeAt = at;
        wakeEvent = sim.Schedule(at - sim.Now(), "scripted peer", [this] {
            wakeEvent = 0;
            Service();
        });
    }

    void Append(Step step) {
        script.push_back(std::move(step));
        Service();
    }

    size_t Pending() const {
        size_t n = 0;
        for (const Step& s : script)
            n += s.Size() - s.begun;
        return n;
    }

    BridgeChip& chip;
    PeerOptions options;
    serial::SerialLine txLine;
    serial::Receiver receiver;
    serial::Receiver::Sink sink;
    const serial::FrameLayout* layout = nullptr;  // of the peer's own format
    std::deque<Step> script;                      // references stay valid: only ends change
    serial::Ring<Laid> laid;
    LineTime lineFreeAt = 0;
    LineTime nextLay = serial::kForever;
    PeerLines lines;
    bool xoffReceived = false;
    std::vector<ReceivedCharacter> received;
    uint64_t sent = 0;
    uint64_t wakeEvent = 0;
    Ticks wakeAt = 0;
    std::vector<uint64_t> timed;  // SetLinesAt events
    bool busy = false;
    bool again = false;
};

ScriptedPeer::ScriptedPeer(BridgeChip& chip, PeerOptions options)
    : impl_(std::make_unique<Impl>(chip, std::move(options))) {
    Impl& p = *impl_;
    const LineTime now = LineNow();
    p.layout = p.txLine.Layout(p.options.format);
    ChipUart& uart = chip.Uart();
    uart.TransmitLine().Listen([&p](LineTime from) {
        p.receiver.LineChanged(from);
        p.Service();
    });
    p.receiver.Attach(&uart.TransmitLine(), now);
    p.receiver.Configure(p.options.format, true, now);
    p.Watch();
    uart.Plug(&p.txLine);
    uart.OnOutputsChanged([&p] { p.Service(); });
    p.lines = p.options.lines;
    uart.SetInputs(p.lines);
    p.Service();
}

ScriptedPeer::~ScriptedPeer() {
    Impl& p = *impl_;
    Simulation& sim = Simulation::Current();
    if (p.wakeEvent != 0)
        sim.CancelScheduled(p.wakeEvent);
    for (uint64_t id : p.timed)
        sim.CancelScheduled(id);
    ChipUart& uart = p.chip.Uart();
    uart.TransmitLine().Listen(nullptr);
    uart.Unplug();
}

void ScriptedPeer::Send(const std::vector<uint8_t>& bytes) {
    SendWithFormat(impl_->options.format, bytes);
}

void ScriptedPeer::SendAt(Ticks time, const std::vector<uint8_t>& bytes) {
    if (bytes.empty())
        return;
    Impl::Step s;
    s.bytes = bytes;
    s.layout = impl_->layout;
    s.notBefore = ToLineTime(time);
    impl_->Append(std::move(s));
}

void ScriptedPeer::SendWithFormat(const CharacterFormat& format,
                                  const std::vector<uint8_t>& bytes) {
    if (bytes.empty())
        return;
    Impl::Step s;
    s.bytes = bytes;
    s.layout = impl_->txLine.Layout(format);
    impl_->Append(std::move(s));
}

void ScriptedPeer::Gap(Ticks duration) {
    Impl::Step s;
    s.kind = Impl::Kind::Gap;
    s.duration = ToLineTime(duration);
    impl_->Append(std::move(s));
}

void ScriptedPeer::Break(Ticks duration) {
    Impl::Step s;
    s.kind = Impl::Kind::Break;
    s.duration = ToLineTime(duration);
    impl_->Append(std::move(s));
}

void ScriptedPeer::SetLinesInScript(PeerLines lines) {
    Impl::Step s;
    s.kind = Impl::Kind::Lines;
    s.lines = lines;
    impl_->Append(std::move(s));
}

void ScriptedPeer::SetFormat(const CharacterFormat& format) {
    Impl& p = *impl_;
    p.Service();
    p.options.format = format;
    p.layout = p.txLine.Layout(format);
    p.receiver.Configure(format, true, LineNow());
    p.Service();
}

size_t ScriptedPeer::Pending() const {
    impl_->Service();
    return impl_->Pending();
}

Ticks ScriptedPeer::BusyUntil() const {
    const Impl& p = *impl_;
    return LineTimeToTick(std::max(p.lineFreeAt, p.laid.empty() ? LineTime{0} : p.laid.back().end));
}

void ScriptedPeer::SetLines(PeerLines lines) {
    Impl& p = *impl_;
    p.Service();
    p.lines = lines;
    p.chip.Uart().SetInputs(lines);
}

void ScriptedPeer::SetLinesAt(Ticks time, PeerLines lines) {
    Simulation& sim = Simulation::Current();
    impl_->timed.push_back(sim.Schedule(std::max<Ticks>(time - sim.Now(), 0),
                                        "scripted peer: lines",
                                        [this, lines] { SetLines(lines); }));
}

PeerLines ScriptedPeer::Lines() const {
    return impl_->lines;
}

void ScriptedPeer::ObeyRts(bool on) {
    impl_->options.obeyRts = on;
    impl_->Service();
}

void ScriptedPeer::ObeyDtr(bool on) {
    impl_->options.obeyDtr = on;
    impl_->Service();
}

void ScriptedPeer::ObeyXonXoff(bool on) {
    Impl& p = *impl_;
    p.Service();
    p.options.obeyXonXoff = on;
    if (!on)
        p.xoffReceived = false;
    p.Watch();
    p.Service();
}

bool ScriptedPeer::Held() const {
    impl_->Service();
    return impl_->Held();
}

bool ScriptedPeer::ChipRts() const {
    return impl_->chip.RtsLine();
}

bool ScriptedPeer::ChipDtr() const {
    return impl_->chip.DtrLine();
}

const std::vector<ReceivedCharacter>& ScriptedPeer::Received() const {
    impl_->Service();
    return impl_->received;
}

std::vector<uint8_t> ScriptedPeer::ReceivedBytes() const {
    std::vector<uint8_t> out;
    for (const ReceivedCharacter& ch : Received()) {
        if (!ch.breakCondition)
            out.push_back(ch.value);
    }
    return out;
}

void ScriptedPeer::ClearReceived() {
    impl_->Service();
    impl_->received.clear();
}

uint64_t ScriptedPeer::BytesSent() const {
    impl_->Service();
    return impl_->sent;
}

}  // namespace sim
