// Runs of frames on a serial line and the receiver that samples them, with the
// fast path that reads a whole run at once when the two ends' sample points align.
#include "serial_line.h"

#include <algorithm>
#include <numeric>

namespace sim {

namespace {

#if defined(__SIZEOF_INT128__)
using Wide = unsigned __int128;
#else
// The 128-bit arithmetic the bit clock needs, where the compiler has no
// 128-bit integer (i386): products of two 64-bit values, sums and quotients.
class Wide {
  public:
    constexpr Wide(uint64_t value = 0) : high_(0), low_(value) {}
    constexpr Wide(uint64_t high, uint64_t low) : high_(high), low_(low) {}
    explicit constexpr operator uint64_t() const { return low_; }
    explicit constexpr operator int64_t() const { return static_cast<int64_t>(low_); }

    friend Wide operator*(Wide a, Wide b) {
        // The low 128 bits of the product, from 32-bit halves.
        const uint64_t a0 = a.low_ & 0xFFFFFFFFu, a1 = a.low_ >> 32;
        const uint64_t b0 = b.low_ & 0xFFFFFFFFu, b1 = b.low_ >> 32;
        const uint64_t p00 = a0 * b0, p01 = a0 * b1, p10 = a1 * b0, p11 = a1 * b1;
        const uint64_t middle = (p00 >> 32) + (p01 & 0xFFFFFFFFu) + (p10 & 0xFFFFFFFFu);
        const uint64_t low = (middle << 32) | (p00 & 0xFFFFFFFFu);
        const uint64_t high = p11 + (p01 >> 32) + (p10 >> 32) + (middle >> 32) + a.high_ * b.low_ +
                              a.low_ * b.high_;
        return Wide(high, low);
    }
    friend Wide operator+(Wide a, Wide b) {
        const uint64_t low = a.low_ + b.low_;
        return Wide(a.high_ + b.high_ + (low < a.low_ ? 1 : 0), low);
    }
    friend Wide operator-(Wide a, Wide b) {
        return Wide(a.high_ - b.high_ - (a.low_ < b.low_ ? 1 : 0), a.low_ - b.low_);
    }
    friend bool operator<(Wide a, Wide b) { return a.high_ != b.high_ ? a.high_ < b.high_ : a.low_ < b.low_; }
    friend Wide operator/(Wide n, Wide d) {
        // Long division, a bit at a time.
        Wide quotient, remainder;
        for (int bit = 127; bit >= 0; --bit) {
            remainder = Wide((remainder.high_ << 1) | (remainder.low_ >> 63), remainder.low_ << 1);
            remainder.low_ |= (bit >= 64 ? n.high_ >> (bit - 64) : n.low_ >> bit) & 1;
            if (!(remainder < d)) {
                remainder = remainder - d;
                if (bit >= 64) quotient.high_ |= uint64_t{1} << (bit - 64);
                else quotient.low_ |= uint64_t{1} << bit;
            }
        }
        return quotient;
    }

  private:
    uint64_t high_;
    uint64_t low_;
};
#endif

constexpr uint64_t kPicosPerSecond = 1'000'000'000'000ull;

uint16_t BuildPattern(const CharacterFormat& format, uint8_t dataMask, uint8_t value) {
    const unsigned data = value & dataMask;
    uint16_t pattern = static_cast<uint16_t>(data << 1);  // slot 0, the start bit, is space
    if (format.parity != 0) {
        const unsigned ones = static_cast<unsigned>(__builtin_popcount(data));
        unsigned bit = 0;
        switch (format.parity) {
            case 1:  // odd: data and parity bit together hold an odd count of ones
                bit = (ones & 1) ? 0 : 1;
                break;
            case 2:
                bit = ones & 1;
                break;
            case 3:
                bit = 1;
                break;
            default:
                bit = 0;
                break;
        }
        pattern = static_cast<uint16_t>(pattern | bit << (1 + format.dataBits));
    }
    return pattern;
}

}  // namespace

CharacterFormat CharacterFormat::Of(const LineSettings& line) {
    CharacterFormat f;
    f.rate = line.baud;
    f.dataBits = line.dataBits;
    f.parity = line.parity;
    f.stopBits = line.stopBits;
    return f;
}

CharacterFormat CharacterFormat::Plain(uint64_t baud, uint8_t dataBits, uint8_t parity,
                                       uint8_t stopBits) {
    CharacterFormat f;
    f.rate = BaudRate{baud, 1};
    f.dataBits = dataBits;
    f.parity = parity;
    f.stopBits = stopBits;
    return f;
}

unsigned CharacterFormat::BitsPerCharacter() const {
    return 1u + dataBits + (parity != 0 ? 1u : 0u) + (stopBits == 2 ? 2u : 1u);
}

LineTime CharacterFormat::CharacterTime() const {
    return serial::FrameLayout(*this).length;
}

namespace serial {

BitClock::BitClock(const BaudRate& rate) {
    if (rate.numerator == 0 || rate.denominator == 0)
        return;
    const uint64_t common = std::gcd(rate.numerator, rate.denominator);
    num_ = rate.numerator / common;
    den_ = rate.denominator / common;
}

LineTime BitClock::HalfBits(uint64_t h) const {
    if (num_ == 0)
        return 0;
    const Wide n = Wide(h) * Wide(den_) * Wide(kPicosPerSecond);
    const Wide d = Wide(2) * Wide(num_);
    return static_cast<LineTime>(static_cast<int64_t>((n + d - Wide(1)) / d));
}

uint64_t BitClock::SlotAt(LineTime offset) const {
    if (num_ == 0 || offset < 0)
        return 0;
    const Wide n = Wide(static_cast<uint64_t>(offset)) * Wide(num_);
    return static_cast<uint64_t>(n / (Wide(den_) * Wide(kPicosPerSecond)));
}

FrameLayout::FrameLayout(const CharacterFormat& f) : format(f), clock(f.rate) {
    slots = 1u + f.dataBits + (f.parity != 0 ? 1u : 0u);
    const unsigned stopHalves = f.stopBits == 0 ? 2 : f.stopBits == 1 ? 3 : 4;
    length = clock.HalfBits(2 * slots + stopHalves);
    stopSample = clock.HalfBits(2 * slots + 1);
    wholeFrame = clock.HalfBits(2 * slots + 2);
    dataMask = static_cast<uint8_t>((1u << f.dataBits) - 1);
    for (unsigned v = 0; v < 256; ++v) {
        patterns[v] = BuildPattern(f, dataMask, static_cast<uint8_t>(v));
        unsigned lastSpace = 0;
        for (unsigned k = slots; k-- > 1;) {
            if (((patterns[v] >> k) & 1) == 0) {
                lastSpace = k;
                break;
            }
        }
        markFrom[v] = clock.HalfBits(2 * (lastSpace + 1));
    }
}

bool SamplesAlign(const FrameLayout& sender, const FrameLayout& receiver) {
    if (!sender.clock.Running() || !receiver.clock.Running())
        return false;
    if (sender.format.dataBits != receiver.format.dataBits ||
        sender.format.parity != receiver.format.parity) {
        return false;
    }
    for (unsigned k = 0; k <= receiver.slots; ++k) {
        if (sender.clock.SlotAt(receiver.Sample(k)) != k)
            return false;
    }
    return true;
}

// --- the line --------------------------------------------------------------------

const FrameLayout* SerialLine::Layout(const CharacterFormat& format) {
    for (const FrameLayout& l : layouts_) {
        if (l.format == format && l.format.rate.numerator == format.rate.numerator &&
            l.format.rate.denominator == format.rate.denominator) {
            return &l;
        }
    }
    layouts_.emplace_back(format);
    return &layouts_.back();
}

LineTime SerialLine::AppendFrames(LineTime start, const FrameLayout* layout, const uint8_t* values,
                                  size_t n) {
    if (n == 0)
        return start;
    const uint64_t firstValue = valuesBase_ + values_.size();
    values_.Append(values, n);
    const LineTime length = static_cast<LineTime>(n) * layout->length;
    if (!symbols_.empty() && symbols_.back().layout == layout && symbols_.back().end == start) {
        Symbol& last = symbols_.back();
        last.count += n;
        last.end += length;
    } else {
        Symbol s;
        s.start = start;
        s.end = start + length;
        s.layout = layout;
        s.count = n;
        s.firstValue = firstValue;
        symbols_.push_back(s);
    }
    Changed(start);
    return start + length;
}

void SerialLine::AppendBreak(LineTime start, LineTime end) {
    Symbol s;
    s.start = start;
    s.end = end;
    symbols_.push_back(s);
    Changed(start);
}

void SerialLine::EndBreak(LineTime t) {
    if (symbols_.empty() || !symbols_.back().IsBreak() || symbols_.back().end != kForever)
        return;
    Symbol& s = symbols_.back();
    if (s.start >= t) {
        const LineTime from = s.start;
        symbols_.pop_back();
        Changed(from);
        return;
    }
    s.end = t;
    Changed(t);
}

void SerialLine::RetractAfter(LineTime t) {
    LineTime from = kForever;
    while (!symbols_.empty()) {
        Symbol& s = symbols_.back();
        if (s.start > t) {
            from = s.start;
            values_.pop_back(s.count);
            symbols_.pop_back();
            continue;
        }
        if (!s.IsBreak()) {
            // Frames of the run that begin after t go; the one under way stays.
            const uint64_t keep = s.FrameAt(std::min(t, s.end - 1)) + 1;
            if (keep < s.count) {
                values_.pop_back(s.count - keep);
                s.count = keep;
                s.end = s.FrameStart(keep);
                from = s.end;
            }
        }
        break;
    }
    if (from != kForever)
        Changed(from);
}

SerialLine::Batch::~Batch() {
    if (--line_.batches_ == 0 && line_.batchedFrom_ != kForever) {
        const LineTime from = line_.batchedFrom_;
        line_.batchedFrom_ = kForever;
        line_.Changed(from);
    }
}

void SerialLine::Changed(LineTime from) {
    if (batches_ > 0) {
        batchedFrom_ = std::min(batchedFrom_, from);
        return;
    }
    if (changed_) {
        changed_(from);
    } else {
        Prune(from);  // nobody listens: the past is of no use
    }
}

uint64_t SerialLine::FirstEndingAfter(LineTime t, uint64_t hint) const {
    uint64_t i = std::clamp(hint, Begin(), End());
    while (i > Begin() && At(i - 1).end > t)
        --i;
    while (i < End() && At(i).end <= t)
        ++i;
    return i;
}

bool SerialLine::LevelIn(uint64_t index, LineTime t) const {
    const Symbol& s = At(index);
    if (s.IsBreak())
        return false;
    const uint64_t f = s.FrameAt(t);
    const FrameLayout& l = *s.layout;
    const uint64_t slot = l.clock.SlotAt(t - s.FrameStart(f));
    return slot >= l.slots || ((l.patterns[Value(s.firstValue + f)] >> slot) & 1) != 0;
}

void SerialLine::Prune(LineTime t) {
    while (!symbols_.empty()) {
        Symbol& s = symbols_.front();
        if (s.end < t) {
            values_.pop_front(s.count);
            valuesBase_ += s.count;
            symbols_.pop_front();
            ++base_;
            continue;
        }
        if (!s.IsBreak() && s.start < t) {
            // Frames of a long run that ended before t.
            const uint64_t gone = static_cast<uint64_t>((t - 1 - s.start) / s.layout->length);
            if (gone > 0 && gone < s.count) {
                s.start = s.FrameStart(gone);
                s.count -= gone;
                s.firstValue += gone;
                values_.pop_front(gone);
                valuesBase_ += gone;
            }
        }
        break;
    }
}

// --- the receiver ---------------------------------------------------------------------

void Receiver::Attach(SerialLine* line, LineTime now) {
    line_ = line;
    Restart(now);
}

void Receiver::Configure(const CharacterFormat& format, bool running, LineTime now) {
    const bool sameRate = layout_.format.rate.numerator == format.rate.numerator &&
                          layout_.format.rate.denominator == format.rate.denominator;
    if (!(sameRate && layout_.format == format) || running != running_) {
        layout_ = FrameLayout(format);
        running_ = running;
        alignedSender_ = nullptr;
        Restart(now);
    }
}

void Receiver::Watch(const std::vector<uint8_t>& values) {
    watched_.fill(false);
    for (uint8_t v : values)
        watched_[v] = true;
    DropAhead();
    aheadFrom_ = from_;
}

void Receiver::DropAhead() {
    ahead_.clear();
    aheadValues_.clear();
    notables_.clear();
    dirty_ = true;
}

void Receiver::Restart(LineTime now) {
    DropAhead();
    from_ = aheadFrom_ = std::max(from_, now);
    hint_ = line_ ? line_->Begin() : 0;
}

void Receiver::LineChanged(LineTime from) {
    dirty_ = true;
    while (!ahead_.empty()) {
        Decoded& d = ahead_.back();
        if (d.at >= from) {
            aheadValues_.pop_back(d.count);
            ahead_.pop_back();
            continue;
        }
        if (d.LastAt() >= from) {
            // Part of a run came after the change.
            const uint64_t keep = static_cast<uint64_t>((from - d.at + d.period - 1) / d.period);
            aheadValues_.pop_back(d.count - keep);
            d.count = keep;
        }
        break;
    }
    while (!notables_.empty() && notables_.back() >= from)
        notables_.pop_back();
    aheadFrom_ = ahead_.empty() ? from_ : ahead_.back().LastAt();
}

LineTime Receiver::AheadAt(size_t k) const {
    for (size_t i = 0; i < ahead_.size(); ++i) {
        const Decoded& d = ahead_[i];
        if (k < d.count)
            return d.at + static_cast<LineTime>(k) * d.period;
        k -= d.count;
    }
    return kForever;
}

bool Receiver::Level(LineTime t, uint64_t* hint) const {
    *hint = line_->FirstEndingAfter(t, *hint);
    if (*hint == line_->End() || line_->At(*hint).start > t)
        return true;
    return line_->LevelIn(*hint, t);
}

LineTime Receiver::SpaceEnds(LineTime from, uint64_t index) const {
    LineTime t = from;
    for (uint64_t i = line_->FirstEndingAfter(t, index); i < line_->End(); ++i) {
        const Symbol& s = line_->At(i);
        if (s.start > t)
            return t;  // a gap: mark
        if (s.IsBreak()) {
            t = s.end;
            continue;
        }
        // Every frame has a stop bit: the line is at mark within the frame holding t.
        const FrameLayout& l = *s.layout;
        const uint64_t f = s.FrameAt(t);
        const LineTime fs = s.FrameStart(f);
        const uint16_t pattern = l.patterns[line_->Value(s.firstValue + f)];
        for (uint64_t k = l.clock.SlotAt(t - fs); k < l.slots; ++k) {
            if ((pattern >> k) & 1)
                return std::max(t, fs + l.clock.HalfBits(2 * k));
        }
        return std::max(t, fs + l.clock.HalfBits(2 * l.slots));
    }
    return t;
}

bool Receiver::FindEdge(LineTime from, Edge* edge) {
    for (uint64_t i = line_->FirstEndingAfter(from, hint_); i < line_->End(); ++i) {
        const Symbol& s = line_->At(i);
        if (s.start >= from) {
            // A start of space is an edge unless the line was at space already
            // (a symbol straight after a break).
            const bool markBefore = i == line_->Begin() || line_->At(i - 1).end < s.start ||
                                    !line_->At(i - 1).IsBreak();
            if (markBefore) {
                *edge = {s.start, i, 0};
                hint_ = i;
                return true;
            }
        }
        if (s.IsBreak())
            continue;
        const FrameLayout& l = *s.layout;
        for (uint64_t f = from > s.start ? s.FrameAt(from) : 0; f < s.count; ++f) {
            const LineTime fs = s.FrameStart(f);
            if (f > 0 && fs >= from) {
                // Each frame of a run ends at mark: its successor's start bit is an edge.
                *edge = {fs, i, f};
                hint_ = i;
                return true;
            }
            const uint8_t value = line_->Value(s.firstValue + f);
            if (fs + l.markFrom[value] <= from)
                continue;
            const uint16_t pattern = l.patterns[value];
            const uint64_t at = from > fs ? l.clock.SlotAt(from - fs) : 1;
            for (uint64_t k = std::max<uint64_t>(at, 1); k < l.slots; ++k) {
                if (((pattern >> (k - 1)) & 1) == 0 || ((pattern >> k) & 1) != 0)
                    continue;
                const LineTime t = fs + l.clock.HalfBits(2 * k);
                if (t >= from) {
                    *edge = {t, i, f};
                    hint_ = i;
                    return true;
                }
            }
        }
    }
    return false;
}

void Receiver::PushSingle(const ReceivedCharacter& ch, bool notable) {
    Decoded d;
    d.at = ch.at;
    d.period = 1;
    d.count = 1;
    d.plain = !notable;
    d.parityError = ch.parityError;
    d.framingError = ch.framingError;
    d.breakCondition = ch.breakCondition;
    ahead_.push_back(d);
    aheadValues_.push_back(ch.value);
    if (notable)
        notables_.push_back(ch.at);
    aheadFrom_ = ch.at;
}

void Receiver::DecodeAhead(size_t count) {
    while (aheadValues_.size() < count && DecodeNext()) {
    }
}

// Decodes the next character, or the rest of an aligned run; false when the line
// holds no further start bit.
bool Receiver::DecodeNext() {
    if (!dirty_ || !Running())
        return false;
    Edge edge;
    for (;;) {
        if (!FindEdge(aheadFrom_, &edge)) {
            dirty_ = false;
            return false;
        }
        const Symbol& s = line_->At(edge.index);
        if (!s.IsBreak() && s.FrameStart(edge.frame) == edge.at) {
            if (alignedSender_ != s.layout) {
                alignedSender_ = s.layout;
                aligned_ = SamplesAlign(*s.layout, layout_);
            }
            if (aligned_) {
                // Every frame from here is read in its own slots: the characters
                // as sent, up to the end of the run or a watched one.
                const uint64_t first = s.firstValue + edge.frame;
                const size_t available = static_cast<size_t>(s.count - edge.frame);
                scratch_.resize(available);
                line_->CopyValues(first, available, scratch_.data());
                size_t n = 0;
                for (; n < available; ++n) {
                    scratch_[n] &= layout_.dataMask;
                    if (watched_[scratch_[n]])
                        break;
                }
                aheadValues_.Append(scratch_.data(), n);
                const LineTime at = edge.at + layout_.stopSample;
                if (n == 0) {
                    ReceivedCharacter ch;
                    ch.at = at;
                    ch.value = line_->Value(first) & layout_.dataMask;
                    PushSingle(ch, true);
                    return true;
                }
                Decoded d{};
                d.at = at;
                d.period = s.layout->length;
                d.count = n;
                d.plain = true;
                ahead_.push_back(d);
                aheadFrom_ = d.LastAt();
                return true;
            }
        }
        uint64_t hint = edge.index;
        const LineTime e = edge.at;
        if (Level(e + layout_.Sample(0), &hint)) {
            // Space shorter than half a bit: not a start bit.
            aheadFrom_ = e + layout_.Sample(0);
            continue;
        }
        const unsigned dataBits = layout_.format.dataBits;
        unsigned value = 0;
        for (unsigned i = 0; i < dataBits; ++i) {
            if (Level(e + layout_.Sample(1 + i), &hint))
                value |= 1u << i;
        }
        bool parityBit = false;
        bool parityError = false;
        if (layout_.format.parity != 0) {
            parityBit = Level(e + layout_.Sample(1 + dataBits), &hint);
            const unsigned ones = static_cast<unsigned>(__builtin_popcount(value)) + parityBit;
            switch (layout_.format.parity) {
                case 1:
                    parityError = (ones & 1) == 0;
                    break;
                case 2:
                    parityError = (ones & 1) != 0;
                    break;
                case 3:
                    parityError = !parityBit;
                    break;
                default:
                    parityError = parityBit;
                    break;
            }
        }
        ReceivedCharacter ch;
        ch.at = e + layout_.stopSample;
        const bool stop = Level(ch.at, &hint);
        if (!stop && value == 0 && !parityBit &&
            SpaceEnds(e, edge.index) > e + layout_.wholeFrame) {
            // Space through a whole frame and beyond: a break, known once the frame's
            // time has passed. The receiver then waits for mark.
            ch.at = e + layout_.wholeFrame;
            ch.breakCondition = true;
            PushSingle(ch, true);
            return true;
        }
        ch.value = static_cast<uint8_t>(value);
        ch.parityError = parityError;
        ch.framingError = !stop;
        PushSingle(ch, parityError || !stop || watched_[ch.value]);
        return true;
    }
}

void Receiver::Take(LineTime now, const Sink& sink) {
    if (!Running()) {
        DropAhead();
        from_ = aheadFrom_ = std::max(from_, now);
        if (line_)
            line_->Prune(from_);
        return;
    }
    for (;;) {
        if (ahead_.empty() && !DecodeNext())
            break;
        Decoded& d = ahead_.front();
        if (d.at > now)
            break;
        const uint64_t due =
            std::min<uint64_t>(d.count, static_cast<uint64_t>((now - d.at) / d.period) + 1);
        const LineTime first = d.at;
        const LineTime period = d.period;
        from_ = d.at + static_cast<LineTime>(due - 1) * d.period;
        if (d.plain) {
            taken_.resize(due);
            aheadValues_.CopyFront(due, taken_.data());
        } else {
            if (!notables_.empty())
                notables_.pop_front();
        }
        ReceivedCharacter ch;
        ch.at = d.at;
        ch.value = aheadValues_.front();
        ch.parityError = d.parityError;
        ch.framingError = d.framingError;
        ch.breakCondition = d.breakCondition;
        const bool plain = d.plain;
        aheadValues_.pop_front(due);
        if (due == d.count) {
            ahead_.pop_front();
        } else {
            d.at += static_cast<LineTime>(due) * d.period;
            d.count -= due;
        }
        // The sink may change the line (flow control): nothing of `d` is used after.
        if (plain)
            sink.plain(first, period, taken_.data(), due);
        else
            sink.single(ch);
    }
    line_->Prune(from_);
}

}  // namespace serial
}  // namespace sim
