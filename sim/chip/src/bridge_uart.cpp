// The chip's UART clocked in virtual time: FIFOs, transmitter and receiver on the
// connector, the flow control the registers hand over, and the status packets.
#include "bridge_uart.h"

#include <algorithm>

namespace sim {
namespace {

// Status word bits (the high byte is unused).
constexpr uint16_t kDcd = 0x01;
constexpr uint16_t kDsr = 0x02;
constexpr uint16_t kBreakReceived = 0x04;
constexpr uint16_t kRing = 0x08;
constexpr uint16_t kFramingError = 0x10;
constexpr uint16_t kParityError = 0x20;
constexpr uint16_t kOverrunError = 0x40;
constexpr uint16_t kCts = 0x80;
constexpr uint16_t kLineMask = kDcd | kDsr | kRing | kCts;

// Line-change packets the interrupt endpoint keeps waiting; past that a change
// rewrites the newest one. Two keep both edges of a pulse shorter than the poll
// period, and keep what the host learns within a poll or two of the lines as
// they are: a deeper queue, fed faster than one packet a poll by a line that
// toggles several times a frame, hands the host line states from as many polls
// ago as it holds packets.
constexpr size_t kStatusQueueDepth = 2;

Ticks Now() {
    return Simulation::Exists() ? Simulation::Current().Now() : 0;
}

LineTime LineNow() {
    return ToLineTime(Now());
}

bool SameFormat(const CharacterFormat& a, const CharacterFormat& b) {
    return a == b && a.rate.numerator * b.rate.denominator == b.rate.numerator * a.rate.denominator;
}

}  // namespace

ChipUart::ChipUart(BridgeChip& chip) : chip_(chip) {
    sink_.plain = [this](LineTime, LineTime, const uint8_t* values, size_t n) {
        DeliverPlain(values, n);
    };
    sink_.single = [this](const ReceivedCharacter& ch) { Deliver(ch); };
}

ChipUart::~ChipUart() {
    if (wakeEvent_ != 0 && Simulation::Exists())
        Simulation::Current().CancelScheduled(wakeEvent_);
}

// --- settings -------------------------------------------------------------------------

void ChipUart::ReadSettings() {
    const LineSettings& line = chip_.Line();
    format_ = CharacterFormat::Of(line);
    flow_ = chip_.DecodedFlowControl();
    uartOn_ = flow_.uartEnabled && !line.baud.IsZero();
    breakOn_ = chip_.BreakOn();
    hostLines_ = chip_.Lines();
    fifoReset_ = chip_.FifosHeldInReset();
    suspended_ = chip_.Suspended();
    txLayout_ = uartOn_ ? txLine_.Layout(format_) : nullptr;
}

// The receiver samples while suspended too: what it takes then is counted lost.
bool ChipUart::ReceiverRuns() const {
    return plugged_ && uartOn_;
}

bool ChipUart::TransmitterRuns() const {
    return plugged_ && uartOn_ && !suspended_ && txLayout_ != nullptr;
}

bool ChipUart::DataGateOpen() const {
    return TransmitterRuns() && !breakOn_ && !fifoReset_ &&
           !(flow_.transmitGatedByCts && !inputs_.cts) &&
           !(flow_.transmitGatedByDsr && !inputs_.dsr) && !(flow_.xonXoff && xoffReceived_);
}

bool ChipUart::WantXoff() const {
    return flow_.xonXoff && rxHold_;
}

void ChipUart::WatchFlowCharacters() {
    if (flow_.xonXoff)
        receiver_.Watch({flow_.xonChar, flow_.xoffChar});
    else
        receiver_.Watch({});
}

// What is on the transmit line stops at `now`: the character under way
// finishes, nothing laid after it goes, a break ends.
void ChipUart::TakeBackTheLine(LineTime now) {
    serial::SerialLine::Batch batch(txLine_);
    AdvanceTransmitter(now);
    RetractTransmitter(now);
    if (breakLaid_) {
        txLine_.EndBreak(now);
        breakLaid_ = false;
    }
}

void ChipUart::PowerOn() {
    const LineTime now = LineNow();
    TakeBackTheLine(now);
    txFifo_.clear();
    laid_.clear();
    laidData_ = 0;
    flowCharLaid_ = false;
    xoffInEffect_ = false;
    txNaked_ = false;
    txRefused_ = 0;
    rxFifo_.clear();
    rxHold_ = false;
    xoffReceived_ = false;
    bulkInNaked_ = false;
    lastInFull_ = false;
    statusQueue_.clear();
    statusOffset_ = 0;
    reportedLines_ = 0;
    ReadSettings();
    receiver_.Attach(plugged_ ? rxLine_ : nullptr, now);
    receiver_.Configure(format_, ReceiverRuns(), now);
    WatchFlowCharacters();
    NotifyOutputs();
    QueueLineChange();  // lines already on at the cable are news to a reset chip
    Service();
}

void ChipUart::SettingsChanged() {
    Service();  // what happened before the change happened under the old settings
    const CharacterFormat oldFormat = format_;
    const FlowControl oldFlow = flow_;
    ReadSettings();
    if (!SameFormat(oldFormat, format_) || receiver_.Running() != ReceiverRuns())
        receiver_.Configure(format_, ReceiverRuns(), LineNow());
    if (oldFlow.xonXoff != flow_.xonXoff || oldFlow.xonChar != flow_.xonChar ||
        oldFlow.xoffChar != flow_.xoffChar) {
        WatchFlowCharacters();
    }
    if (!flow_.xonXoff)
        xoffReceived_ = false;  // without XON/XOFF nothing holds the transmitter for one
    Replan();
    UpdateHold();
    NotifyOutputs();
    Service();
}

void ChipUart::HoldFifosInReset(bool held) {
    Service();
    fifoReset_ = held;
    Replan();
    if (held) {
        txFifo_.clear();
        rxFifo_.clear();
        UpdateHold();
        if (txNaked_ && chip_.bulkOut_ != 0) {
            txNaked_ = false;
            chip_.EndpointReady(chip_.bulkOut_);
        }
    }
    Service();
}

void ChipUart::Suspend() {
    Service();
    suspended_ = true;
    Replan();
}

void ChipUart::Resume() {
    suspended_ = false;
    // What waited in the FIFOs and the status queue is offered again.
    if (!statusQueue_.empty() && chip_.statusIn_ != 0)
        chip_.EndpointReady(chip_.statusIn_);
    if (!rxFifo_.empty() && chip_.bulkIn_ != 0) {
        bulkInNaked_ = false;
        chip_.EndpointReady(chip_.bulkIn_);
    }
    if (txNaked_ && chip_.bulkOut_ != 0) {
        txNaked_ = false;
        chip_.EndpointReady(chip_.bulkOut_);
    }
    Replan();
    Service();
}

// --- the connector ------------------------------------------------------------------------

void ChipUart::Plug(serial::SerialLine* rx) {
    Service();
    plugged_ = true;
    ReadSettings();
    ConnectReceive(rx);
    Replan();
    Service();
}

void ChipUart::ConnectReceive(serial::SerialLine* rx) {
    const LineTime now = LineNow();
    if (rxLine_)
        rxLine_->Listen(nullptr);
    rxLine_ = rx;
    if (rxLine_) {
        rxLine_->Listen([this](LineTime from) {
            receiver_.LineChanged(from);
            Service();
        });
    }
    receiver_.Attach(rxLine_, now);
    receiver_.Configure(format_, ReceiverRuns(), now);
    WatchFlowCharacters();
    Service();
}

void ChipUart::Unplug() {
    if (!plugged_)
        return;
    Service();
    const LineTime now = LineNow();
    TakeBackTheLine(now);
    ConnectReceive(nullptr);
    plugged_ = false;
    outputsListener_ = nullptr;
    SetInputs(ModemInputs{});
    Service();
}

void ChipUart::SetInputs(const ModemInputs& inputs) {
    if (inputs == inputs_)
        return;
    Service();  // what came before the change, first
    const bool gate = DataGateOpen();
    inputs_ = inputs;
    QueueLineChange();
    if (DataGateOpen() != gate)
        Replan();
    Service();
}

bool ChipUart::RtsOut() const {
    return flow_.rtsFollowsReceiveLevel ? !rxHold_ : hostLines_.rts;
}

bool ChipUart::DtrOut() const {
    return flow_.dtrFollowsReceiveLevel ? !rxHold_ : hostLines_.dtr;
}

void ChipUart::NotifyOutputs() {
    const bool rts = RtsOut();
    const bool dtr = DtrOut();
    if (rts == rtsOut_ && dtr == dtrOut_)
        return;
    rtsOut_ = rts;
    dtrOut_ = dtr;
    if (outputsListener_)
        outputsListener_();
}

// --- the engine -----------------------------------------------------------------------------

void ChipUart::Service() {
    if (busy_) {
        again_ = true;
        return;
    }
    busy_ = true;
    do {
        again_ = false;
        const LineTime now = LineNow();
        AdvanceTransmitter(now);
        if (plugged_)
            receiver_.Take(now, sink_);
        const bool zlpDue = lastInFull_ && rxFifo_.empty() && Now() >= zlpDue_;
        if (bulkInNaked_ && (!rxFifo_.empty() || zlpDue) && !suspended_ && chip_.bulkIn_ != 0) {
            bulkInNaked_ = false;
            chip_.EndpointReady(chip_.bulkIn_);
        }
        if (txNaked_ && RoomForRefused() && !suspended_ && chip_.bulkOut_ != 0) {
            txNaked_ = false;
            chip_.EndpointReady(chip_.bulkOut_);
        }
    } while (again_);
    busy_ = false;
    ScheduleWake();
}

// One event stands for the next moment something needs the chip's attention:
// the character that brings data to a host waiting on bulk IN, reaches the stop
// level, overflows the FIFO, carries an error or a flow character; or, while
// bulk OUT waits for room, the next host byte that begins on the line. Earlier
// is harmless (the event looks and sets the next one); later would be wrong.
void ChipUart::ScheduleWake() {
    if (!Simulation::Exists())
        return;
    LineTime wake = serial::kForever;
    if (ReceiverRuns() && !suspended_ && !fifoReset_) {
        const size_t level = rxFifo_.size();
        const size_t capacity = chip_.FifoCapacity();
        // The first byte lost to a full FIFO raises the overrun bit; later ones
        // only count while a packet carrying the bit waits to go out.
        size_t k = SIZE_MAX;
        if (!ErrorPending(kOverrunError))
            k = level < capacity ? capacity - level + 1 : 1;
        if (bulkInNaked_ && level == 0)
            k = 1;
        const bool automatic =
            flow_.rtsFollowsReceiveLevel || flow_.dtrFollowsReceiveLevel || flow_.xonXoff;
        if (automatic && !rxHold_)
            k = std::min(k, level < flow_.stopLevel ? flow_.stopLevel - level : size_t{1});
        // Only as far as the k-th character: a notable one further on comes after it,
        // and is found when this wake decodes on.
        receiver_.DecodeAhead(k);
        if (k <= receiver_.AheadCount())
            wake = receiver_.AheadAt(k - 1);
        wake = std::min(wake, receiver_.NextNotable());
    } else if (ReceiverRuns() && suspended_ && chip_.remoteWakeup_ && !chip_.wakeSignalled_) {
        // Suspended with remote wake-up armed, the first character that begins
        // is what wakes the host.
        receiver_.DecodeAhead(1);
        if (receiver_.AheadCount() >= 1)
            wake = receiver_.AheadAt(0);
        wake = std::min(wake, receiver_.NextNotable());
    }
    // Only when the wake can send it: a short packet due while the chip is
    // suspended or unconfigured would otherwise wake the chip again at the
    // same instant, for ever (Resume and the next IN look again).
    if (bulkInNaked_ && lastInFull_ && rxFifo_.empty() && !suspended_ && chip_.bulkIn_ != 0)
        wake = std::min(wake, ToLineTime(zlpDue_));
    if (txNaked_ && !RoomForRefused()) {
        // The host byte whose start makes room for the refused packet.
        uint64_t needed = txRefused_ - (chip_.FifoCapacity() - txFifo_.size());
        for (size_t i = 0; i < laid_.size(); ++i) {
            const Laid& l = laid_[i];
            if (l.kind != Kind::Data)
                continue;
            if (needed <= l.count) {
                wake = std::min(wake, l.start + static_cast<LineTime>(needed - 1) * l.period);
                break;
            }
            needed -= l.count;
        }
    }
    if (wake == serial::kForever)
        return;
    Simulation& sim = Simulation::Current();
    const Ticks at = std::max(LineTimeToTick(wake), sim.Now());
    if (wakeEvent_ != 0 && wakeAt_ <= at)
        return;
    if (wakeEvent_ != 0)
        sim.CancelScheduled(wakeEvent_);
    wakeAt_ = at;
    wakeEvent_ = sim.Schedule(at - sim.Now(), "bridge chip: uart", [this] {
        wakeEvent_ = 0;
        Service();
    });
}

// --- transmitter ---------------------------------------------------------------------------

void ChipUart::AdvanceTransmitter(LineTime now) {
    while (!laid_.empty() && laid_.front().start <= now) {
        Laid& l = laid_.front();
        const uint64_t n =
            std::min<uint64_t>(l.count, static_cast<uint64_t>((now - l.start) / l.period) + 1);
        lineFreeAt_ = std::max(lineFreeAt_, l.start + static_cast<LineTime>(n) * l.period);
        switch (l.kind) {
            case Kind::Data:
                txFifo_.pop_front(n);
                laidData_ -= n;
                counters_.bytesTransmitted += n;
                break;
            case Kind::Xon:
                flowCharLaid_ = false;
                xoffInEffect_ = false;
                ++counters_.xonSent;
                break;
            case Kind::Xoff:
                flowCharLaid_ = false;
                xoffInEffect_ = true;
                ++counters_.xoffSent;
                break;
        }
        if (n < l.count) {
            l.start += static_cast<LineTime>(n) * l.period;
            l.count -= n;
            break;
        }
        laid_.pop_front();
    }
}

// Everything laid that has not begun comes back; the host bytes are still in
// the FIFO.
void ChipUart::RetractTransmitter(LineTime now) {
    txLine_.RetractAfter(now);
    laid_.clear();
    laidData_ = 0;
    flowCharLaid_ = false;
    if (breakLaid_ && breakStart_ > now)
        breakLaid_ = false;
}

void ChipUart::Lay(LineTime now) {
    if (!TransmitterRuns() || breakLaid_)
        return;
    LineTime t = std::max({now, lineFreeAt_, laid_.empty() ? LineTime{0} : laid_.back().End()});
    if (breakOn_) {
        // The character on the line finishes, then the line goes to space.
        txLine_.AppendBreak(t, serial::kForever);
        breakLaid_ = true;
        breakStart_ = t;
        return;
    }
    if (!flowCharLaid_ && WantXoff() != xoffInEffect_) {
        // Flow characters go ahead of whatever data waits.
        const bool xoff = WantXoff();
        txLine_.AppendFrame(t, txLayout_, xoff ? flow_.xoffChar : flow_.xonChar);
        laid_.push_back({t, txLayout_->length, 1, xoff ? Kind::Xoff : Kind::Xon});
        flowCharLaid_ = true;
        t += txLayout_->length;
    }
    if (!DataGateOpen() || laidData_ == txFifo_.size())
        return;
    const size_t n = txFifo_.size() - laidData_;
    scratch_.resize(n);
    txFifo_.Copy(laidData_, n, scratch_.data());
    txLine_.AppendFrames(t, txLayout_, scratch_.data(), n);
    if (!laid_.empty() && laid_.back().kind == Kind::Data && laid_.back().End() == t) {
        laid_.back().count += n;
    } else {
        laid_.push_back({t, txLayout_->length, n, Kind::Data});
    }
    laidData_ += n;
}

bool ChipUart::RoomForRefused() const {
    return chip_.FifoCapacity() - txFifo_.size() >= txRefused_;
}

// Takes back what has not begun and lays it again under the present settings:
// after any change of gate, format, break or flow state.
void ChipUart::Replan() {
    const LineTime now = LineNow();
    serial::SerialLine::Batch batch(txLine_);
    AdvanceTransmitter(now);
    RetractTransmitter(now);
    if (breakLaid_ && !(breakOn_ && plugged_ && uartOn_)) {
        txLine_.EndBreak(now);
        breakLaid_ = false;
        // Mark for a bit time before the next start bit, so the far end sees the
        // break end.
        const LineTime bit = txLayout_ ? txLayout_->clock.HalfBits(2) : 0;
        lineFreeAt_ = std::max(lineFreeAt_, now + bit);
    }
    Lay(now);
}

// A packet goes into the FIFO whole or is refused whole, as on any USB device:
// a NAKed packet is sent again by the host, so keeping part of it would
// duplicate that part.
Handshake ChipUart::Out(const uint8_t* data, size_t length) {
    Service();
    if (fifoReset_) {
        // Held in reset the FIFO swallows everything.
        counters_.bytesFromHost += length;
        return Handshake::Ack;
    }
    const size_t room = chip_.FifoCapacity() - txFifo_.size();
    if (room < length) {
        txNaked_ = true;
        txRefused_ = length;
        ScheduleWake();
        return Handshake::Nak;
    }
    txFifo_.Append(data, length);
    counters_.bytesFromHost += length;
    if (plugged_) {
        serial::SerialLine::Batch batch(txLine_);
        Lay(LineNow());
    }
    return Handshake::Ack;
}

std::vector<uint8_t> ChipUart::TakeTransmitted(size_t max) {
    // With a wire plugged in the transmitter owns the FIFO; without one the test
    // clocks bytes out by hand, and nothing moves while the chip is suspended.
    if (plugged_ || suspended_)
        return {};
    const size_t n = std::min(max, txFifo_.size());
    std::vector<uint8_t> out(n);
    txFifo_.CopyFront(n, out.data());
    txFifo_.pop_front(n);
    counters_.bytesTransmitted += n;
    if (n > 0 && txNaked_ && RoomForRefused() && chip_.bulkOut_ != 0) {
        txNaked_ = false;
        chip_.EndpointReady(chip_.bulkOut_);
    }
    return out;
}

// --- receiver --------------------------------------------------------------------------------

void ChipUart::Deliver(const ReceivedCharacter& ch) {
    if (suspended_ || fifoReset_) {
        if (!ch.breakCondition)
            ++counters_.receivedLost;
        if (suspended_)
            chip_.WakeOnActivity();
        return;
    }
    if (ch.breakCondition) {
        ++counters_.breaks;
        ReportError(kBreakReceived);
        return;
    }
    ++counters_.charactersReceived;
    if (ch.parityError) {
        ++counters_.parityErrors;
        ReportError(kParityError);
    }
    if (ch.framingError) {
        ++counters_.framingErrors;
        ReportError(kFramingError);
    }
    if (flow_.xonXoff && !ch.parityError && !ch.framingError) {
        // The chip obeys them and keeps them out of the data.
        if (ch.value == flow_.xoffChar) {
            if (!xoffReceived_) {
                xoffReceived_ = true;
                Replan();
            }
            return;
        }
        if (ch.value == flow_.xonChar) {
            if (xoffReceived_) {
                xoffReceived_ = false;
                Replan();
            }
            return;
        }
    }
    Accept(ch.value);
}

// Characters without error, none of them a flow character the chip watches for.
void ChipUart::DeliverPlain(const uint8_t* values, size_t n) {
    if (suspended_ || fifoReset_) {
        counters_.receivedLost += n;
        if (suspended_)
            chip_.WakeOnActivity();
        return;
    }
    counters_.charactersReceived += n;
    const size_t room = chip_.FifoCapacity() - rxFifo_.size();
    const size_t kept = std::min(room, n);
    rxFifo_.Append(values, kept);
    if (kept < n) {
        counters_.overruns += n - kept;
        counters_.receivedLost += n - kept;
        ReportError(kOverrunError);
    }
    UpdateHold();
}

void ChipUart::Accept(uint8_t value) {
    if (rxFifo_.size() >= chip_.FifoCapacity()) {
        ++counters_.overruns;
        ++counters_.receivedLost;
        ReportError(kOverrunError);
        return;
    }
    rxFifo_.push_back(value);
    UpdateHold();
}

void ChipUart::InjectReceived(const std::vector<uint8_t>& bytes) {
    Service();
    const bool wasEmpty = rxFifo_.empty();
    ReceivedCharacter ch;
    ch.at = LineNow();
    for (uint8_t b : bytes) {
        ch.value = b;
        Deliver(ch);
    }
    if (wasEmpty && !rxFifo_.empty() && chip_.bulkIn_ != 0 && !suspended_) {
        bulkInNaked_ = false;
        chip_.EndpointReady(chip_.bulkIn_);
    }
    Service();
}

// The stop level asks the far end to stop (automatic RTS or DTR off, XOFF); the
// resume level lets it go on.
void ChipUart::UpdateHold() {
    const bool automatic =
        flow_.rtsFollowsReceiveLevel || flow_.dtrFollowsReceiveLevel || flow_.xonXoff;
    const size_t level = rxFifo_.size();
    bool hold = rxHold_;
    if (!automatic) {
        hold = false;
    } else if (!rxHold_ && level >= flow_.stopLevel) {
        hold = true;
    } else if (rxHold_ && level <= flow_.resumeLevel) {
        hold = false;
    }
    if (hold == rxHold_)
        return;
    rxHold_ = hold;
    if (WantXoff() != xoffInEffect_ || flowCharLaid_)
        Replan();
    NotifyOutputs();
}

Handshake ChipUart::BulkIn(uint8_t* buffer, size_t capacity, size_t* produced) {
    Service();
    if (rxFifo_.empty()) {
        if (lastInFull_ && Now() >= zlpDue_) {
            // The data ended on a packet boundary and nothing came for the latency
            // time: a zero-length packet ends the host's transfer, which would
            // otherwise wait for more.
            lastInFull_ = false;
            return Handshake::Ack;
        }
        bulkInNaked_ = true;
        ScheduleWake();
        return Handshake::Nak;
    }
    const size_t n =
        std::min({capacity, static_cast<size_t>(chip_.bulkInPacketSize_), rxFifo_.size()});
    rxFifo_.CopyFront(n, buffer);
    rxFifo_.pop_front(n);
    *produced = n;
    lastInFull_ = n == chip_.bulkInPacketSize_;
    if (lastInFull_ && rxFifo_.empty())
        zlpDue_ = Now() + ReceiveLatency();
    UpdateHold();
    ScheduleWake();
    return Handshake::Ack;
}

// How long the chip waits for more data before it ends a transfer that stopped
// on a packet boundary: register 0x0B's low byte in milliseconds; the older
// variants have no such register and wait 16 ms.
Ticks ChipUart::ReceiveLatency() const {
    const unsigned ms = chip_.variant() < 2 ? 16u : (chip_.Register(0x0B) & 0xFF);
    return static_cast<Ticks>(ms) * kMillisecond;
}

// --- status -----------------------------------------------------------------------------------

uint16_t ChipUart::LineBits() const {
    return static_cast<uint16_t>((inputs_.dcd ? kDcd : 0) | (inputs_.dsr ? kDsr : 0) |
                                 (inputs_.ri ? kRing : 0) | (inputs_.cts ? kCts : 0));
}

void ChipUart::QueueLineChange() {
    const uint16_t lines = LineBits();
    if (lines == reportedLines_)
        return;
    reportedLines_ = lines;
    PushStatus(lines, true);
}

// A packet built here that has not begun to go out: errors may still join it.
bool ChipUart::TailOpen() const {
    return !statusQueue_.empty() && statusQueue_.back().fromUart &&
           !(statusQueue_.size() == 1 && statusOffset_ > 0);
}

bool ChipUart::ErrorPending(uint16_t bit) const {
    return TailOpen() && (statusQueue_.back().word & bit) != 0;
}

// An error joins the newest packet the UART built if that one has not begun to
// go out; otherwise it makes a packet of its own. Either way one packet carries
// it, once.
void ChipUart::ReportError(uint16_t bit) {
    if (TailOpen()) {
        statusQueue_.back().word |= bit;
        return;
    }
    PushStatus(static_cast<uint16_t>(reportedLines_ | bit), true);
}

void ChipUart::PushStatus(uint16_t word, bool fromUart) {
    if (fromUart && statusQueue_.size() >= kStatusQueueDepth && statusQueue_.back().fromUart) {
        StatusPacket& last = statusQueue_.back();
        last.word = static_cast<uint16_t>((last.word & ~kLineMask) | word);
    } else {
        const bool wasEmpty = statusQueue_.empty();
        statusQueue_.push_back({word, fromUart});
        if (wasEmpty && chip_.statusIn_ != 0 && !suspended_)
            chip_.EndpointReady(chip_.statusIn_);
    }
    // A change during suspend is latched and reported after the resume; it is
    // also what wakes a host that armed remote wake-up (a ring, a carrier),
    // whether it made a packet or rewrote one.
    if (suspended_)
        chip_.WakeOnActivity();
}

void ChipUart::InjectStatus(uint16_t word) {
    PushStatus(word, false);
}

Handshake ChipUart::StatusIn(uint8_t* buffer, size_t capacity, size_t* produced) {
    Service();
    if (statusQueue_.empty())
        return Handshake::Nak;
    // A communications-class serial-state notification: its 8-byte header is what
    // the driver skips, the state word is bytes 8 and 9.
    const uint16_t word = statusQueue_.front().word;
    const uint8_t packet[BridgeChip::kStatusPacketSize] = {0xA1,
                                                           0x20,
                                                           0x00,
                                                           0x00,
                                                           0x00,
                                                           0x00,
                                                           0x02,
                                                           0x00,
                                                           static_cast<uint8_t>(word & 0xFF),
                                                           static_cast<uint8_t>(word >> 8)};
    const size_t usbPacket =
        std::min<size_t>(chip_.statusPacketSize_, BridgeChip::kStatusPacketSize - statusOffset_);
    const size_t n = std::min(capacity, usbPacket);
    std::copy_n(packet + statusOffset_, n, buffer);
    *produced = n;
    statusOffset_ += n;
    // A host buffer shorter than the packet cuts it: the rest is lost, as it
    // would be on the wire.
    if (n < usbPacket || statusOffset_ == BridgeChip::kStatusPacketSize) {
        statusQueue_.pop_front();
        statusOffset_ = 0;
        ScheduleWake();  // the next error makes a packet of its own
    }
    return Handshake::Ack;
}

}  // namespace sim
