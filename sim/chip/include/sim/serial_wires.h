// What plugs into the bridge chip's serial connector: a loopback plug, a null-modem
// cable to a second chip, and a scripted peer. Each one carries bits, not bytes:
// a transmitter puts character frames (start bit, data bits, parity, stop bits) on
// its line at its own rate and framing, and the receiver at the far end samples
// them at its own. When the two ends agree the bytes arrive as sent; when they do
// not, the receiver finds what a real one would (garbled data, parity and framing
// errors). Breaks hold the line at space. The control lines follow the wiring.
//
// A wire holds references to the chips it connects: the chips must outlive it.
// Removing a wire leaves the chip's connector empty again.
#pragma once

#include <sim/bridge_chip.h>
#include <sim/simulation.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace sim {

// Time on a serial line in picoseconds: a bit at the highest rates lasts a fraction
// of the kernel's 100-ns tick. A line instant t has happened once Now() × 100,000 ≥ t.
using LineTime = int64_t;
constexpr LineTime kLineTimePerTick = 100'000;
constexpr LineTime ToLineTime(Ticks t) {
    return t * kLineTimePerTick;
}
// The first tick at or after a line instant.
constexpr Ticks LineTimeToTick(LineTime t) {
    return (t + kLineTimePerTick - 1) / kLineTimePerTick;
}

// How one end frames its characters.
struct CharacterFormat {
    BaudRate rate{9600, 1};  // zero: no rate, the end neither sends nor samples
    uint8_t dataBits = 8;    // 5..8
    uint8_t parity = 0;      // 0 none, 1 odd, 2 even, 3 mark, 4 space
    uint8_t stopBits = 0;    // 0 one, 1 one and a half, 2 two

    static CharacterFormat Of(const LineSettings& line);
    static CharacterFormat Plain(uint64_t baud, uint8_t dataBits = 8, uint8_t parity = 0,
                                 uint8_t stopBits = 0);
    // Bits in one frame, stop bits included (10 for 8N1; 1.5 stop bits round down).
    unsigned BitsPerCharacter() const;
    // The frame's length in line time.
    LineTime CharacterTime() const;
    bool operator==(const CharacterFormat& o) const {
        return rate.numerator * o.rate.denominator == o.rate.numerator * rate.denominator &&
               dataBits == o.dataBits && parity == o.parity && stopBits == o.stopBits;
    }
    bool operator!=(const CharacterFormat& o) const { return !(*this == o); }
};

// One character as a receiver took it off its line.
struct ReceivedCharacter {
    LineTime at = 0;    // the middle of its stop bit (a break: the end of a whole frame)
    uint8_t value = 0;  // the data bits as sampled (0 for a break)
    bool parityError = false;
    bool framingError = false;    // the stop bit was sampled at space
    bool breakCondition = false;  // the line stayed at space longer than a whole frame
    Ticks AtTick() const { return LineTimeToTick(at); }
};

// The plug that loops a chip's outputs back to its own inputs: TXD to RXD, and each
// of RTS→CTS, DTR→DSR, DTR→DCD, DTR→RI switchable (all on by default).
struct LoopbackWiring {
    bool data = true;
    bool rtsToCts = true;
    bool dtrToDsr = true;
    bool dtrToDcd = true;
    bool dtrToRi = true;
};

class LoopbackPlug {
  public:
    explicit LoopbackPlug(BridgeChip& chip, LoopbackWiring wiring = {});
    ~LoopbackPlug();
    LoopbackPlug(const LoopbackPlug&) = delete;
    LoopbackPlug& operator=(const LoopbackPlug&) = delete;
    // Rewires at the present instant.
    void Rewire(LoopbackWiring wiring);
    const LoopbackWiring& Wiring() const { return wiring_; }

  private:
    void Apply();
    BridgeChip& chip_;
    LoopbackWiring wiring_;
};

// A null-modem cable between two chips: each TXD to the other's RXD, each RTS to the
// other's CTS, each DTR to the other's DSR and DCD. RI stays off.
class NullModemCable {
  public:
    NullModemCable(BridgeChip& a, BridgeChip& b);
    ~NullModemCable();
    NullModemCable(const NullModemCable&) = delete;
    NullModemCable& operator=(const NullModemCable&) = delete;

  private:
    void Apply();
    BridgeChip& a_;
    BridgeChip& b_;
};

// The lines a scripted peer drives into the chip. The peer stands where a modem
// would: its outputs are the chip's CTS, DSR, DCD and RI.
using PeerLines = ModemInputs;

struct PeerOptions {
    CharacterFormat format;  // what it sends with and samples at
    // Flow control the peer obeys: it starts no character while the chip's RTS
    // (or DTR) is off, or after an XOFF until an XON. A character already on the
    // line finishes.
    bool obeyRts = false;
    bool obeyDtr = false;
    bool obeyXonXoff = false;
    uint8_t xonChar = 0x11;
    uint8_t xoffChar = 0x13;
    PeerLines lines{true, true, true, false};  // CTS, DSR, DCD on, RI off
    // How far ahead of the present the peer lays its characters on the line: a
    // flow-control change takes back what has not begun yet.
    Ticks lookahead = kMillisecond;
};

// A far end that follows a script. Send() and the other script steps run in order:
// bytes go out back to back at the peer's rate, unless a step says otherwise.
class ScriptedPeer {
  public:
    ScriptedPeer(BridgeChip& chip, PeerOptions options = {});
    ~ScriptedPeer();
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    // --- the script -------------------------------------------------------------
    void Send(const std::vector<uint8_t>& bytes);
    // The first byte not before `time` (absolute virtual time), the rest after it.
    void SendAt(Ticks time, const std::vector<uint8_t>& bytes);
    // With other framing than the peer's own, as a far end set up differently
    // sends them: the chip finds parity or framing errors, or garbled bytes.
    void SendWithFormat(const CharacterFormat& format, const std::vector<uint8_t>& bytes);
    // The line idle (mark) this long.
    void Gap(Ticks duration);
    // The line held at space this long, then one bit time at mark.
    void Break(Ticks duration);
    // Lines set when the script gets here (after what is before it has been sent).
    void SetLinesInScript(PeerLines lines);
    // The format of the steps that follow (and of the receiver, at once).
    void SetFormat(const CharacterFormat& format);
    // Script steps not yet begun (bytes count one each).
    size_t Pending() const;
    bool Done() const { return Pending() == 0; }
    // When the last symbol laid on the line so far ends.
    Ticks BusyUntil() const;

    // --- at once, or at a given time --------------------------------------------
    void SetLines(PeerLines lines);
    void SetLinesAt(Ticks time, PeerLines lines);
    PeerLines Lines() const;
    void ObeyRts(bool on);
    void ObeyDtr(bool on);
    void ObeyXonXoff(bool on);
    // Whether the peer holds because of flow control right now.
    bool Held() const;

    // --- what it sees ---------------------------------------------------------------
    bool ChipRts() const;
    bool ChipDtr() const;
    // Everything received so far, in order, with its time.
    const std::vector<ReceivedCharacter>& Received() const;
    std::vector<uint8_t> ReceivedBytes() const;
    void ClearReceived();
    uint64_t BytesSent() const;  // characters that have begun on the line

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace sim
