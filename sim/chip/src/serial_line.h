// The bits on one direction of a serial cable, and the receiver that samples them.
//
// A transmitter lays characters on its line ahead of time, each at its own rate
// and framing, and breaks. What has not begun yet can be taken back (flow control,
// a new line coding, a break). Frames laid back to back in one format form a run,
// kept as one symbol with its values, so a stream costs a little per byte and
// nothing per bit. The receiver at the far end decodes ahead of the present as far
// as it is asked, a whole run at once when its sample points fall in the sender's
// slots, bit by bit otherwise; it hands characters over once their time has come.
// A change to the line drops the decoded characters that depended on the changed
// part.
#pragma once

#include <sim/serial_wires.h>

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <limits>
#include <vector>

#include "ring.h"

namespace sim::serial {

constexpr LineTime kForever = std::numeric_limits<LineTime>::max();

// Where the bits of a frame fall at a rate: slot k (0 the start bit, then the
// data bits from the lowest, the parity bit, the stop bits) begins ceil(k × bit
// time) after the frame's start.
class BitClock {
  public:
    BitClock() = default;
    explicit BitClock(const BaudRate& rate);
    bool Running() const { return num_ != 0; }
    // Offset of half-bit h from the frame's start: slot k begins at h = 2k and
    // has its middle at h = 2k + 1.
    LineTime HalfBits(uint64_t h) const;
    // The slot an offset falls in.
    uint64_t SlotAt(LineTime offset) const;

  private:
    uint64_t num_ = 0;  // bits per second as num / den
    uint64_t den_ = 1;
};

// A format worked out once: slot count, frame length, sample points, and each
// character's slot levels.
struct FrameLayout {
    explicit FrameLayout(const CharacterFormat& format);
    CharacterFormat format;
    BitClock clock;
    unsigned slots = 0;       // start, data and parity bits: the slots before the stop bits
    LineTime length = 0;      // the whole frame with its stop bits
    LineTime stopSample = 0;  // the middle of the first stop bit
    LineTime wholeFrame = 0;  // start, data, parity and one stop bit
    uint8_t dataMask = 0xFF;
    // Slot levels of a character, bit k for slot k (1 is mark).
    std::array<uint16_t, 256> patterns{};
    // From this offset on a character's frame holds the line at mark.
    std::array<LineTime, 256> markFrom{};
    // Middle of slot k.
    LineTime Sample(unsigned k) const { return clock.HalfBits(2 * k + 1); }
};

// True when a character whose frame starts at the sampling edge is read in the
// right slots: every sample of `receiver` lands in the slot of the same index of
// `sender`, and both count the same data and parity bits.
bool SamplesAlign(const FrameLayout& sender, const FrameLayout& receiver);

// A run of frames back to back, or a break.
struct Symbol {
    LineTime start = 0;
    LineTime end = 0;                     // the first instant after it
    const FrameLayout* layout = nullptr;  // null for a break
    uint64_t count = 0;                   // frames
    uint64_t firstValue = 0;              // the first frame's value, in the line's store
    bool IsBreak() const { return layout == nullptr; }
    LineTime FrameStart(uint64_t i) const {
        return start + static_cast<LineTime>(i) * layout->length;
    }
    // The frame holding t, start <= t < end.
    uint64_t FrameAt(LineTime t) const {
        return static_cast<uint64_t>((t - start) / layout->length);
    }
};

class SerialLine {
  public:
    // A layout that stays valid while the line exists.
    const FrameLayout* Layout(const CharacterFormat& format);

    // --- transmitter's side -------------------------------------------------------
    // Frames of `values` back to back from `start` (at or after the previous
    // symbol's end); answers when the last one ends.
    LineTime AppendFrames(LineTime start, const FrameLayout* layout, const uint8_t* values,
                          size_t n);
    LineTime AppendFrame(LineTime start, const FrameLayout* layout, uint8_t value) {
        return AppendFrames(start, layout, &value, 1);
    }
    // Space from `start` until `end` (kForever: until EndBreak).
    void AppendBreak(LineTime start, LineTime end);
    // An open break ends at `t`; a break that had not begun by then is taken away.
    void EndBreak(LineTime t);
    // Takes back every frame or break that begins after `t`.
    void RetractAfter(LineTime t);

    // Changes made while a batch lives are told once, when it ends, from the
    // earliest instant they touched.
    class Batch {
      public:
        explicit Batch(SerialLine& line) : line_(line) { ++line_.batches_; }
        ~Batch();
        Batch(const Batch&) = delete;
        Batch& operator=(const Batch&) = delete;

      private:
        SerialLine& line_;
    };

    // --- receiver's side ----------------------------------------------------------
    // Told the earliest instant a change touches.
    void Listen(std::function<void(LineTime)> changed) { changed_ = std::move(changed); }
    uint64_t Begin() const { return base_; }
    uint64_t End() const { return base_ + symbols_.size(); }
    const Symbol& At(uint64_t index) const { return symbols_[index - base_]; }
    uint8_t Value(uint64_t index) const { return values_[index - valuesBase_]; }
    void CopyValues(uint64_t index, size_t n, uint8_t* out) const {
        values_.Copy(static_cast<size_t>(index - valuesBase_), n, out);
    }
    // The first symbol ending after t, or End().
    uint64_t FirstEndingAfter(LineTime t, uint64_t hint) const;
    // Level at t inside symbol `index`: true is mark.
    bool LevelIn(uint64_t index, LineTime t) const;
    // Forgets what ended before t.
    void Prune(LineTime t);

  private:
    void Changed(LineTime from);
    Ring<Symbol> symbols_;
    uint64_t base_ = 0;
    Ring<uint8_t> values_;
    uint64_t valuesBase_ = 0;
    std::deque<FrameLayout> layouts_;
    std::function<void(LineTime)> changed_;
    int batches_ = 0;
    LineTime batchedFrom_ = kForever;
};

// A UART receiver on a line.
class Receiver {
  public:
    // Where decoded characters go when their time has come.
    struct Sink {
        // Characters without error, back to back from `firstAt`, `period` apart.
        std::function<void(LineTime firstAt, LineTime period, const uint8_t* values, size_t n)>
            plain;
        // One with an error, a break, or a watched value.
        std::function<void(const ReceivedCharacter&)> single;
    };

    // The line it samples (null: nothing connected). Decoding starts afresh at `now`.
    void Attach(SerialLine* line, LineTime now);
    // A new format, or the receiver stopped (`running` false): what was being
    // sampled is abandoned and the receiver looks for a new start bit from `now`.
    void Configure(const CharacterFormat& format, bool running, LineTime now);
    bool Running() const { return running_ && line_ != nullptr && layout_.clock.Running(); }
    const FrameLayout& Layout() const { return layout_; }
    // Characters the owner wants to hear about one by one, and be woken for.
    void Watch(const std::vector<uint8_t>& values);

    // The line changed from `from` on: characters that depend on it are decoded again.
    void LineChanged(LineTime from);
    // Decodes ahead of the present until `count` characters wait or the line's
    // symbols are used up (beyond its last symbol the line is taken as idle).
    void DecodeAhead(size_t count);
    // Characters decoded ahead, and the time of the k-th (from 0).
    size_t AheadCount() const { return aheadValues_.size(); }
    LineTime AheadAt(size_t k) const;
    // Time of the first error, break or watched character decoded so far, or kForever.
    LineTime NextNotable() const { return notables_.empty() ? kForever : notables_.front(); }
    // Hands over every character complete by `now`, in order.
    void Take(LineTime now, const Sink& sink);

  private:
    struct Decoded {
        LineTime at;      // the first character's
        LineTime period;  // between characters of a plain run
        uint64_t count;
        bool plain;  // no error, not watched: handed over in bulk
        bool parityError;
        bool framingError;
        bool breakCondition;
        LineTime LastAt() const { return at + static_cast<LineTime>(count - 1) * period; }
    };
    struct Edge {
        LineTime at;
        uint64_t index;  // the symbol it is in
        uint64_t frame;  // ... and the frame
    };
    bool FindEdge(LineTime from, Edge* edge);
    bool Level(LineTime t, uint64_t* hint) const;
    LineTime SpaceEnds(LineTime from, uint64_t index) const;
    bool DecodeNext();
    void PushSingle(const ReceivedCharacter& ch, bool notable);
    void Restart(LineTime now);
    void DropAhead();

    SerialLine* line_ = nullptr;
    FrameLayout layout_{CharacterFormat{}};
    bool running_ = false;
    std::array<bool, 256> watched_{};
    LineTime from_ = 0;       // where the search for a start bit resumes after what was taken
    LineTime aheadFrom_ = 0;  // ... after what was decoded ahead
    uint64_t hint_ = 0;       // symbol index near aheadFrom_
    bool dirty_ = true;       // there may be more to decode
    Ring<Decoded> ahead_;
    Ring<uint8_t> aheadValues_;  // one per decoded character
    Ring<LineTime> notables_;
    std::vector<uint8_t> scratch_;  // values of a run being decoded
    std::vector<uint8_t> taken_;    // values being handed over
    // The last sender layout checked for alignment, and the answer.
    const FrameLayout* alignedSender_ = nullptr;
    bool aligned_ = false;
};

}  // namespace sim::serial
