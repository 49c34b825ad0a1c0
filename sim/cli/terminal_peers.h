// The far ends vodrek-sim terminal puts on the adapter's connector: a scripted
// peer with a little behaviour of its own, looked at every millisecond of
// virtual time.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include <sim/serial_wires.h>
#include <sim/simulation.h>

namespace cli {

class TerminalPeer {
  public:
    virtual ~TerminalPeer();
    // The lines the peer drives when it is attached (CTS, DSR, DCD, RI).
    virtual sim::PeerLines InitialLines() const = 0;
    // Starts looking at the line every millisecond; stops when destroyed.
    void Start(sim::ScriptedPeer& peer);

  protected:
    // Each look: the characters received since the last one are `from` on in peer().Received().
    virtual void Look(size_t from, size_t to) = 0;
    sim::ScriptedPeer& peer() { return *peer_; }
    void Send(const std::string& text);

  private:
    void Tick();
    sim::ScriptedPeer* peer_ = nullptr;
    size_t seen_ = 0;
    uint64_t timer_ = 0;
};

// Answers every byte it receives with the same byte.
class EchoPeer : public TerminalPeer {
  public:
    sim::PeerLines InitialLines() const override { return {true, true, true, false}; }

  protected:
    void Look(size_t from, size_t to) override;
};

// A small modem-like far end. In command mode it echoes what it receives and
// answers each line that ends in CR: AT (OK), ATI (what it is), ATZ (a reset:
// DSR drops for 100 ms), ATD... and ATA (CONNECT after 250 ms, DCD on: online),
// ATH (DCD off, OK), anything else ERROR. Online it echoes everything back
// until "+++", which returns it to command mode. When DTR comes on for the
// first time it rings twice (RI pulses, "RING"); when DTR drops it hangs up.
// Its answers and line changes take their turn on its script, so a line
// changes after the text before it has gone out, as a modem's would.
class ModemPeer : public TerminalPeer {
  public:
    explicit ModemPeer(uint32_t baud) : baud_(baud), lines_{true, true, false, false} {}
    sim::PeerLines InitialLines() const override { return lines_; }

  protected:
    void Look(size_t from, size_t to) override;

  private:
    void Take(char c);
    void Command(std::string line);
    void Lines(std::function<void(sim::PeerLines&)> change);
    // Runs `action` `delay` from now (at the first look after it is due).
    void After(sim::Ticks delay, std::function<void()> action);

    uint32_t baud_;
    bool dtrWas_ = false, rung_ = false, online_ = false;
    sim::PeerLines lines_;  // as they are once the script has come to its end
    int pluses_ = 0;
    std::string line_;
    std::multimap<sim::Ticks, std::function<void()>> actions_;
};

std::unique_ptr<TerminalPeer> MakeTerminalPeer(const std::string& kind, uint32_t baud);

}  // namespace cli
