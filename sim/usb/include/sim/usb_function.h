// A USB device function as the simulated bus sees it: endpoint 0 and its bulk and
// interrupt endpoints, one transaction at a time. The bridge chip model
// implements it; the bus turns URBs into these calls on its frame schedule.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace sim {

struct SetupPacket {
    uint8_t bmRequestType = 0;
    uint8_t bRequest = 0;
    uint16_t wValue = 0;
    uint16_t wIndex = 0;
    uint16_t wLength = 0;
};

// How the device answered a transaction.
enum class Handshake {
    Ack,    // done
    Nak,    // not now: the bus tries again when the function says the endpoint is ready
    Stall,  // refused
};

class UsbFunction {
public:
    virtual ~UsbFunction() = default;

    // Endpoint 0: one whole control transfer, standard requests included
    // (GET_DESCRIPTOR, SET_CONFIGURATION, SET_FEATURE, ...). For a device-to-host
    // request the function puts at most wLength bytes into `data`; for
    // host-to-device, `data` holds the wLength bytes the host sent.
    virtual Handshake Control(const SetupPacket& setup, std::vector<uint8_t>& data) = 0;

    // Bulk or interrupt OUT on `endpoint` (address without the direction bit): one
    // packet of `length` bytes, taken whole (Ack) or not at all (Nak, when it does
    // not fit; the function says EndpointReady once it would).
    virtual Handshake Out(uint8_t endpoint, const uint8_t* data, size_t length) = 0;

    // Bulk or interrupt IN on `endpoint` (address with the direction bit): one
    // packet of at most `capacity` bytes into `buffer`, its size in `produced`;
    // Nak when the function has nothing to send.
    virtual Handshake In(uint8_t endpoint, uint8_t* buffer, size_t capacity, size_t* produced) = 0;

    // The device was reset by the bus (plugged in, or reset port).
    virtual void BusReset() {}

    // The port was suspended (the device went to a low-power state) and resumed
    // again. No transaction reaches the function in between.
    virtual void Suspend() {}
    virtual void Resume() {}

    // The bus listens here: the function calls EndpointReady when an endpoint
    // that answered Nak can make progress (data to send, room to receive).
    void SetReadyListener(std::function<void(uint8_t endpoint)> listener) { ready_ = std::move(listener); }

    // The bus listens here too: a suspended function whose host armed remote
    // wake-up (SET_FEATURE DEVICE_REMOTE_WAKEUP) signals resume on its own.
    void SetWakeListener(std::function<void()> listener) { wake_ = std::move(listener); }

protected:
    void EndpointReady(uint8_t endpoint) {
        if (ready_) ready_(endpoint);
    }
    void SignalRemoteWakeup() {
        if (wake_) wake_();
    }

private:
    std::function<void(uint8_t)> ready_;
    std::function<void()> wake_;
};

}  // namespace sim
