// The class requests that set the line: line coding with its rate codes, the two
// output lines, break and the comm feature.
#include <sim/bridge_chip.h>

#include <numeric>

namespace sim {
namespace {

constexpr uint8_t kSetCommFeature = 0x02;
constexpr uint8_t kGetCommFeature = 0x03;
constexpr uint8_t kClearCommFeature = 0x04;
constexpr uint8_t kSetLineCoding = 0x20;
constexpr uint8_t kGetLineCoding = 0x21;
constexpr uint8_t kSetControlLineState = 0x22;
constexpr uint8_t kSendBreak = 0x23;

constexpr uint16_t kAbstractState = 1;
constexpr uint16_t kBreakUntilCleared = 0xFFFF;

// The rate generator's clock; a code divides it by a 9-bit mantissa and a power of
// four.
constexpr uint64_t kRateClock = 384'000'000;

}  // namespace

bool DecodeRateField(uint32_t field, BaudRate* rate) {
    if ((field & 0x80000000u) == 0) {
        *rate = BaudRate{field, 1};
        return true;
    }
    const uint64_t mantissa = field & 0x1FF;
    const unsigned exponent = (field >> 9) & 0x07;
    if (mantissa == 0)
        return false;
    const uint64_t divisor = mantissa << (2 * exponent);
    const uint64_t common = std::gcd(kRateClock, divisor);
    *rate = BaudRate{kRateClock / common, divisor / common};
    return true;
}

std::array<uint8_t, 7> LineSettings::Record() const {
    return {static_cast<uint8_t>(rateField & 0xFF),
            static_cast<uint8_t>((rateField >> 8) & 0xFF),
            static_cast<uint8_t>((rateField >> 16) & 0xFF),
            static_cast<uint8_t>(rateField >> 24),
            stopBits,
            parity,
            dataBits};
}

Handshake BridgeChip::ClassRequest(const SetupPacket& setup, std::vector<uint8_t>& data) {
    const bool toHost = (setup.bmRequestType & 0x80) != 0;
    // Addressed to interface 0, the one that carries the status endpoint.
    if ((setup.bmRequestType & 0x1F) != 1 || setup.wIndex != 0)
        return Handshake::Stall;

    switch (setup.bRequest) {
        case kSetLineCoding: {
            if (toHost || setup.wValue != 0 || setup.wLength != 7)
                return Handshake::Stall;
            const uint32_t field = static_cast<uint32_t>(data[0]) | (data[1] << 8) |
                                   (data[2] << 16) | (static_cast<uint32_t>(data[3]) << 24);
            LineSettings next;
            next.rateField = field;
            next.stopBits = data[4];
            next.parity = data[5];
            next.dataBits = data[6];
            // The older chips have no rate generator to program: only plain rates.
            if (next.RateIsCode() && variant_ < 2)
                return Handshake::Stall;
            if (!DecodeRateField(field, &next.baud))
                return Handshake::Stall;
            if (next.stopBits > 2 || next.parity > 4 || next.dataBits < 5 || next.dataBits > 8) {
                return Handshake::Stall;
            }
            line_ = next;
            Changed(ChipSetting::LineCoding);
            return Handshake::Ack;
        }
        case kGetLineCoding: {
            if (!toHost || setup.wValue != 0 || setup.wLength == 0)
                return Handshake::Stall;
            const auto record = line_.Record();
            data.assign(record.begin(), record.end());
            return Handshake::Ack;
        }
        case kSetControlLineState:
            if (toHost || setup.wLength != 0)
                return Handshake::Stall;
            lines_.dtr = (setup.wValue & 0x01) != 0;
            lines_.rts = (setup.wValue & 0x02) != 0;
            Changed(ChipSetting::ControlLines);
            return Handshake::Ack;
        case kSendBreak: {
            if (toHost || setup.wLength != 0)
                return Handshake::Stall;
            if (breakTimer_ != 0 && Simulation::Exists()) {
                Simulation::Current().CancelScheduled(breakTimer_);
            }
            breakTimer_ = 0;
            breakOn_ = setup.wValue != 0;
            // Any other non-zero value is a break of that many milliseconds.
            if (setup.wValue != 0 && setup.wValue != kBreakUntilCleared && Simulation::Exists()) {
                breakTimer_ = Simulation::Current().Schedule(setup.wValue * kMillisecond,
                                                             "bridge chip: end of timed break",
                                                             [this] { EndTimedBreak(); });
            }
            Changed(ChipSetting::Break);
            return Handshake::Ack;
        }
        case kSetCommFeature:
            if (toHost || setup.wValue != kAbstractState || setup.wLength != 2) {
                return Handshake::Stall;
            }
            commFeature_ = static_cast<uint16_t>(data[0] | (data[1] << 8));
            Changed(ChipSetting::CommFeature);
            return Handshake::Ack;
        case kGetCommFeature:
            if (!toHost || setup.wValue != kAbstractState || setup.wLength == 0) {
                return Handshake::Stall;
            }
            data = {static_cast<uint8_t>(commFeature_ & 0xFF),
                    static_cast<uint8_t>(commFeature_ >> 8)};
            return Handshake::Ack;
        case kClearCommFeature:
            if (toHost || setup.wValue != kAbstractState || setup.wLength != 0) {
                return Handshake::Stall;
            }
            commFeature_ = 0;
            Changed(ChipSetting::CommFeature);
            return Handshake::Ack;
        default:
            return Handshake::Stall;
    }
}

void BridgeChip::EndTimedBreak() {
    breakTimer_ = 0;
    breakOn_ = false;
    Changed(ChipSetting::Break);
}

}  // namespace sim
