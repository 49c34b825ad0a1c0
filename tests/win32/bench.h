// A simulated machine for the tests of the Win32 layer, reachable from test
// sources that include the program's <windows.h>: this header uses plain
// types only, so the kernel's stand-in headers stay out of those sources.
// One adapter (or two on a null-modem cable), plugged and started, with a
// filter above the port that records every request the port is sent; a
// process whose first thread runs the test's body.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace w32test {

enum class Wire { Loopback, Nothing, Peer, NullModem };

struct BenchOptions {
    Wire wire = Wire::Loopback;
    int variant = 2;
    // Loopback pins.
    bool rtsToCts = true, dtrToDsr = true, dtrToDcd = true, dtrToRi = true;
    // The far end of Wire::Peer: its rate and framing (parity 0 none .. 4 space,
    // stop 0 one, 1 one and a half, 2 two), and whether it obeys RTS/XON-XOFF.
    uint64_t peerBaud = 115200;
    uint8_t peerDataBits = 8, peerParity = 0, peerStopBits = 0;
    bool peerObeysRts = false, peerObeysXonXoff = false;
};

// One request as the port's device received it.
struct Request {
    uint8_t major = 0;
    uint32_t code = 0;             // device controls
    std::vector<uint8_t> input;    // a device control's input; a write's bytes
    uint32_t length = 0;           // a read's or a write's length
};

class Bench {
  public:
    explicit Bench(BenchOptions options = {});
    ~Bench();
    Bench(const Bench&) = delete;
    Bench& operator=(const Bench&) = delete;

    // Runs `body` as a thread of the program's process until it returns;
    // false when it has not within `limitMs` of virtual time.
    bool Run(const std::function<void()>& body, int64_t limitMs = 600'000);
    // The port's names: "COM3" (and "COM4" for the far end of a cable).
    std::string Port(int index = 0) const;

    // --- what the port was sent ------------------------------------------------------
    const std::vector<Request>& Requests() const;
    // Only the device controls' codes, in order.
    std::vector<uint32_t> Controls() const;
    void ClearRequests();

    // --- the chip ---------------------------------------------------------------------
    uint64_t ChipBaud() const;  // the rate the chip's divisor gives, rounded
    uint8_t ChipDataBits() const;
    uint8_t ChipParity() const;
    uint8_t ChipStopBits() const;
    bool ChipDtr() const;
    bool ChipRts() const;
    bool ChipBreak() const;
    // Bytes the chip's UART received in all (counters).
    uint64_t ChipBytesFromHost() const;

    // --- the far end (Wire::Peer) -------------------------------------------------------
    void PeerSend(const std::string& bytes);
    // With another framing than the port's: the port sees line errors.
    void PeerSendFramed(uint64_t baud, uint8_t dataBits, uint8_t parity, uint8_t stopBits,
                        const std::string& bytes);
    void PeerBreak(int64_t milliseconds);
    void PeerLines(bool cts, bool dsr, bool dcd, bool ri);
    std::string PeerReceived() const;
    // Loopback: rewires the pins at this instant.
    void Rewire(bool data, bool rtsToCts, bool dtrToDsr, bool dtrToDcd, bool dtrToRi);

    int64_t NowMs() const;
    // What the I/O manager logged (requests left pending at cleanup, ...).
    std::vector<std::string> IoErrors() const;

    struct State;

  private:
    std::unique_ptr<State> state_;
};

}  // namespace w32test
