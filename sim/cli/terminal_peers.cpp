#include "terminal_peers.h"

#include <cctype>

namespace cli {

TerminalPeer::~TerminalPeer() {
    if (timer_ && sim::Simulation::Exists())
        sim::Simulation::Current().CancelScheduled(timer_);
}

void TerminalPeer::Start(sim::ScriptedPeer& peer) {
    peer_ = &peer;
    seen_ = peer.Received().size();
    timer_ = sim::Simulation::Current().Schedule(sim::kMillisecond, "terminal peer", [this] { Tick(); });
}

void TerminalPeer::Tick() {
    const size_t now = peer_->Received().size();
    const size_t from = seen_;
    seen_ = now;
    Look(from, now);
    timer_ = sim::Simulation::Current().Schedule(sim::kMillisecond, "terminal peer", [this] { Tick(); });
}

void TerminalPeer::Send(const std::string& text) {
    peer_->Send(std::vector<uint8_t>(text.begin(), text.end()));
}

void EchoPeer::Look(size_t from, size_t to) {
    std::string echo;
    for (size_t i = from; i < to; ++i) {
        const sim::ReceivedCharacter& ch = peer().Received()[i];
        if (!ch.breakCondition)
            echo += static_cast<char>(ch.value);
    }
    if (!echo.empty())
        Send(echo);
}

void ModemPeer::Lines(std::function<void(sim::PeerLines&)> change) {
    change(lines_);
    peer().SetLinesInScript(lines_);
}

void ModemPeer::After(sim::Ticks delay, std::function<void()> action) {
    actions_.emplace(sim::Simulation::Current().Now() + delay, std::move(action));
}

void ModemPeer::Look(size_t from, size_t to) {
    const sim::Ticks now = sim::Simulation::Current().Now();
    while (!actions_.empty() && actions_.begin()->first <= now) {
        auto action = std::move(actions_.begin()->second);
        actions_.erase(actions_.begin());
        action();
    }
    const bool dtr = peer().ChipDtr();
    if (dtr && !dtrWas_ && !rung_) {
        // The terminal is ready: a call comes in.
        rung_ = true;
        for (int ring = 0; ring < 2; ++ring) {
            const sim::Ticks at = 300 * sim::kMillisecond + ring * 400 * sim::kMillisecond;
            After(at, [this] {
                Lines([](sim::PeerLines& l) { l.ri = true; });
                Send("\r\nRING\r\n");
                peer().Gap(200 * sim::kMillisecond);
                Lines([](sim::PeerLines& l) { l.ri = false; });
            });
        }
    }
    if (!dtr && dtrWas_) {
        // The terminal went away: hang up.
        online_ = false;
        Lines([](sim::PeerLines& l) { l.dcd = false; });
    }
    dtrWas_ = dtr;

    for (size_t i = from; i < to; ++i) {
        const sim::ReceivedCharacter& ch = peer().Received()[i];
        if (!ch.breakCondition)
            Take(static_cast<char>(ch.value));
    }
}

void ModemPeer::Take(char c) {
    if (online_) {
        // The far side echoes; three pluses bring the modem back to command mode.
        Send(std::string(1, c));
        pluses_ = c == '+' ? pluses_ + 1 : 0;
        if (pluses_ == 3) {
            pluses_ = 0;
            online_ = false;
            Send("\r\nOK\r\n");
        }
        return;
    }
    Send(std::string(1, c));
    if (c == '\r') {
        Command(line_);
        line_.clear();
    } else if (c == '\b' || c == 0x7f) {
        if (!line_.empty())
            line_.pop_back();
    } else if (static_cast<unsigned char>(c) >= 0x20) {
        // Other control characters are no part of a command.
        line_ += c;
    }
}

void ModemPeer::Command(std::string line) {
    std::string command;
    for (char c : line) {
        if (c != ' ')
            command += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    if (command.empty())
        return;
    if (command.compare(0, 2, "AT") != 0) {
        Send("\r\nERROR\r\n");
        return;
    }
    const std::string rest = command.substr(2);
    if (rest.empty()) {
        Send("\r\nOK\r\n");
    } else if (rest == "I") {
        Send("\r\nvodrek simulated modem\r\n\r\nOK\r\n");
    } else if (rest == "Z") {
        online_ = false;
        Lines([](sim::PeerLines& l) { l.dsr = l.dcd = false; });
        peer().Gap(100 * sim::kMillisecond);
        Lines([](sim::PeerLines& l) { l.dsr = true; });
        Send("\r\nOK\r\n");
    } else if (rest[0] == 'D' || rest == "A") {
        online_ = true;
        peer().Gap(250 * sim::kMillisecond);
        Lines([](sim::PeerLines& l) { l.dcd = true; });
        Send("\r\nCONNECT " + std::to_string(baud_) + "\r\n");
    } else if (rest == "H" || rest == "H0") {
        online_ = false;
        Lines([](sim::PeerLines& l) { l.dcd = false; });
        Send("\r\nOK\r\n");
    } else {
        Send("\r\nERROR\r\n");
    }
}

std::unique_ptr<TerminalPeer> MakeTerminalPeer(const std::string& kind, uint32_t baud) {
    if (kind == "echo")
        return std::make_unique<EchoPeer>();
    if (kind == "modem")
        return std::make_unique<ModemPeer>(baud);
    return nullptr;
}

}  // namespace cli
