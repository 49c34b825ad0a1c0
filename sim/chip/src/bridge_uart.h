// The bridge chip's UART: the transmit and receive FIFOs behind the bulk
// endpoints, the transmitter and receiver on the serial connector, the flow
// control the registers hand to the chip, and the status packets on the interrupt
// endpoint. What each choice is, and why, is in sim/chip/REGISTERS.md.
//
// With nothing plugged into the connector the UART is not clocked: tests reach
// the FIFOs directly (InjectReceived, TakeTransmitted), as before the engine.
#pragma once

#include <sim/bridge_chip.h>
#include <sim/serial_wires.h>

#include <array>
#include <deque>
#include <functional>
#include <vector>

#include "serial_line.h"

namespace sim {

class ChipUart {
  public:
    explicit ChipUart(BridgeChip& chip);
    ~ChipUart();
    ChipUart(const ChipUart&) = delete;
    ChipUart& operator=(const ChipUart&) = delete;

    // --- the chip's side ---------------------------------------------------------
    // Power-on and bus reset: FIFOs and status queue empty, nothing on the line.
    void PowerOn();
    // Something endpoint 0 controls may have changed (line coding, registers,
    // control lines, break).
    void SettingsChanged();
    // Registers 9 and 8.
    void HoldFifosInReset(bool held);
    void Suspend();
    void Resume();
    Handshake Out(const uint8_t* data, size_t length);
    Handshake BulkIn(uint8_t* buffer, size_t capacity, size_t* produced);
    Handshake StatusIn(uint8_t* buffer, size_t capacity, size_t* produced);

    // --- the test tap -------------------------------------------------------------
    void InjectReceived(const std::vector<uint8_t>& bytes);
    void InjectStatus(uint16_t word);
    std::vector<uint8_t> TakeTransmitted(size_t max);

    // --- the connector --------------------------------------------------------------
    serial::SerialLine& TransmitLine() { return txLine_; }
    // A wire is plugged in; its receive line is `rx` (the chip's own transmit line
    // for a loopback, null when nothing reaches RXD).
    void Plug(serial::SerialLine* rx);
    void ConnectReceive(serial::SerialLine* rx);
    void Unplug();
    bool Plugged() const { return plugged_; }
    void SetInputs(const ModemInputs& inputs);
    ModemInputs Inputs() const { return inputs_; }
    bool RtsOut() const;
    bool DtrOut() const;
    // Told after the levels of RTS or DTR changed.
    void OnOutputsChanged(std::function<void()> listener) {
        outputsListener_ = std::move(listener);
    }

    // --- what tests look at ------------------------------------------------------------
    // Brings the model up to the present.
    void Sync() { Service(); }
    size_t TransmitFifoLevel() const { return txFifo_.size(); }
    size_t ReceiveFifoLevel() const { return rxFifo_.size(); }
    size_t PendingStatusPackets() const { return statusQueue_.size(); }
    uint16_t StatusLines() const { return LineBits(); }
    UartCounters Counters() const { return counters_; }
    bool ReceiveHold() const { return rxHold_; }
    bool XoffReceived() const { return xoffReceived_; }

  private:
    enum class Kind : uint8_t { Data, Xon, Xoff };
    struct Laid {  // frames of ours on the line that have not begun yet
        LineTime start;
        LineTime period;
        uint64_t count;  // host bytes back to back, or one flow character
        Kind kind;
        LineTime End() const { return start + static_cast<LineTime>(count) * period; }
    };
    struct StatusPacket {
        uint16_t word;
        bool fromUart;  // built here: later errors may join it until it goes out
    };

    // Reads what endpoint 0 set: the line coding, flow control, break, lines.
    void ReadSettings();
    bool ReceiverRuns() const;
    bool TransmitterRuns() const;
    bool DataGateOpen() const;
    bool WantXoff() const;
    void WatchFlowCharacters();

    void Service();
    void ScheduleWake();

    // Transmitter.
    void AdvanceTransmitter(LineTime now);
    void RetractTransmitter(LineTime now);
    void TakeBackTheLine(LineTime now);
    void Lay(LineTime now);
    void Replan();
    // Room in the transmit FIFO for the packet refused last.
    bool RoomForRefused() const;

    // Receiver.
    Ticks ReceiveLatency() const;
    void Deliver(const ReceivedCharacter& ch);
    void DeliverPlain(const uint8_t* values, size_t n);
    void Accept(uint8_t value);
    void UpdateHold();
    void NotifyOutputs();

    // Status.
    uint16_t LineBits() const;
    void QueueLineChange();
    void ReportError(uint16_t bit);
    bool TailOpen() const;
    bool ErrorPending(uint16_t bit) const;
    void PushStatus(uint16_t word, bool fromUart);

    BridgeChip& chip_;
    serial::SerialLine txLine_;
    serial::Receiver receiver_;
    serial::Receiver::Sink sink_;
    serial::SerialLine* rxLine_ = nullptr;
    bool plugged_ = false;

    // Settings as the UART applies them.
    CharacterFormat format_;
    const serial::FrameLayout* txLayout_ = nullptr;
    FlowControl flow_;
    bool uartOn_ = false;
    bool breakOn_ = false;
    bool fifoReset_ = false;
    bool suspended_ = false;
    ControlLines hostLines_;

    // Transmitter.
    serial::Ring<uint8_t> txFifo_;  // host bytes that have not begun on the line
    serial::Ring<Laid> laid_;       // on the line, not yet begun
    std::vector<uint8_t> scratch_;
    size_t laidData_ = 0;  // how many of txFifo_'s first bytes are in laid_
    bool flowCharLaid_ = false;
    bool xoffInEffect_ = false;  // the last flow character that went out was XOFF
    LineTime lineFreeAt_ = 0;    // end of what has begun (and of the mark after a break)
    bool breakLaid_ = false;
    LineTime breakStart_ = 0;
    bool txNaked_ = false;
    size_t txRefused_ = 0;  // size of the bulk OUT packet refused last: the room to wait for

    // Receiver.
    serial::Ring<uint8_t> rxFifo_;
    bool rxHold_ = false;  // the chip has asked the far end to stop
    bool xoffReceived_ = false;
    bool bulkInNaked_ = false;
    bool lastInFull_ = false;  // the last bulk IN packet had the endpoint's full size
    Ticks zlpDue_ = 0;         // ... and left the FIFO empty: when a zero-length packet may end it

    // Lines.
    ModemInputs inputs_;
    bool rtsOut_ = false;
    bool dtrOut_ = false;
    std::function<void()> outputsListener_;

    // Status.
    std::deque<StatusPacket> statusQueue_;
    size_t statusOffset_ = 0;  // bytes of the front packet already sent
    uint16_t reportedLines_ = 0;

    UartCounters counters_;

    uint64_t wakeEvent_ = 0;
    Ticks wakeAt_ = 0;
    bool busy_ = false;
    bool again_ = false;
};

}  // namespace sim
