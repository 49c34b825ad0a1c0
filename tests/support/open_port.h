// A port opened as an application opens it: an adapter plugged through the Plug
// and Play manager, the port opened by its COM name through the I/O manager,
// requests sent through the handle. Bytes and line changes come from the chip.
#pragma once

#include "tests/support/sim_fixture.h"

#include <sim/files.h>
#include <sim/serial_wires.h>
#include <sim/workbench/workbench.h>

#include "datapath/datapath.h"
#include "usb/usb.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace simtest {

class OpenPortTest : public SimTest {
  protected:
    OpenPortTest() = default;
    explicit OpenPortTest(Schedule schedule) : SimTest(schedule) {}

    // Plugs an adapter of `variant` and opens COM3 for overlapped I/O.
    void Open(int variant = 2) {
        sim::AdapterOptions options;
        options.variant = variant;
        adapter_ = &bench_.AddAdapter(options);
        ASSERT_EQ(adapter_->Plug(), STATUS_SUCCESS);
        NTSTATUS status;
        file_ = sim::File::Open(u"\\\\.\\COM3", &status, sim::OverlappedOpen());
        ASSERT_EQ(status, STATUS_SUCCESS);
        sim_.RunUntilIdle();
    }
    void TearDown() override {
        if (file_.IsOpen()) Close();
        SimTest::TearDown();
    }
    void Close() {
        EXPECT_EQ(file_.Close(), STATUS_SUCCESS);
        sim_.RunFor(sim::kSecond);
    }

    PortExtension* port() const { return adapter_->Port(); }
    sim::BridgeChip& chip() const { return adapter_->Chip(); }
    sim::Adapter& adapter() const { return *adapter_; }
    sim::File& file() { return file_; }

    // A device control that completes at once; answers its status.
    NTSTATUS Control(ULONG code, std::vector<uint8_t> input = {}, ULONG outputLength = 0,
                     std::vector<uint8_t>* output = nullptr) {
        auto r = file_.DeviceIoControl(code, std::move(input), outputLength);
        sim_.RunUntil([&] { return r->Completed(); }, sim::kSecond);
        if (output) *output = r->Output();
        return r->Status();
    }
    // A device control that answers a record of T, expected to succeed; the
    // record as answered (zero where the answer is short).
    template <typename T>
    T Query(ULONG code) {
        std::vector<uint8_t> out;
        EXPECT_EQ(Control(code, {}, sizeof(T), &out), STATUS_SUCCESS) << std::hex << code;
        T value{};
        std::memcpy(&value, out.data(), std::min(out.size(), sizeof(value)));
        return value;
    }
    // Plugs and opens an adapter of `variant` with a far end on its connector
    // at `baud` 8N1, its CTS, DSR and DCD on, and sets the port to match.
    sim::ScriptedPeer& OpenWithFarEnd(int variant, ULONG baud) {
        Open(variant);
        sim::PeerOptions options;
        options.format = sim::CharacterFormat::Plain(baud, 8, 0);
        options.lines = {true, true, true, false};
        sim::ScriptedPeer& peer = adapter().AttachPeer(options);
        SERIAL_BAUD_RATE rate{baud};
        EXPECT_EQ(Control(IOCTL_SERIAL_SET_BAUD_RATE, sim::Bytes(rate)), STATUS_SUCCESS);
        SERIAL_LINE_CONTROL line{STOP_BIT_1, NO_PARITY, 8};
        EXPECT_EQ(Control(IOCTL_SERIAL_SET_LINE_CONTROL, sim::Bytes(line)), STATUS_SUCCESS);
        sim_.RunFor(50 * sim::kMillisecond);
        return peer;
    }
    NTSTATUS SetWriteTimeouts(ULONG multiplier, ULONG constant) {
        SERIAL_TIMEOUTS t{};
        t.ReadIntervalTimeout = MAXULONG;
        t.WriteTotalTimeoutMultiplier = multiplier;
        t.WriteTotalTimeoutConstant = constant;
        return Control(IOCTL_SERIAL_SET_TIMEOUTS, sim::Bytes(t));
    }
    // `fn` runs in a thread of its own, at PASSIVE_LEVEL, `at` from now, as an
    // application's second thread would.
    void PassiveAt(sim::Ticks at, std::function<void()> fn) {
        auto woken = std::make_shared<KEVENT>();
        KeInitializeEvent(woken.get(), NotificationEvent, FALSE);
        sim_.Schedule(at, "wake the thread", [woken] { KeSetEvent(woken.get(), IO_NO_INCREMENT, FALSE); });
        sim_.CreateThread("second thread", [woken, fn] {
            KeWaitForSingleObject(woken.get(), Executive, KernelMode, FALSE, nullptr);
            fn();
        });
    }
    NTSTATUS SetTimeouts(ULONG interval, ULONG multiplier, ULONG constant) {
        SERIAL_TIMEOUTS t{};
        t.ReadIntervalTimeout = interval;
        t.ReadTotalTimeoutMultiplier = multiplier;
        t.ReadTotalTimeoutConstant = constant;
        return Control(IOCTL_SERIAL_SET_TIMEOUTS, sim::Bytes(t));
    }
    NTSTATUS SetHandFlow(ULONG controlHandShake, ULONG flowReplace, LONG xonLimit, LONG xoffLimit) {
        SERIAL_HANDFLOW h{};
        h.ControlHandShake = controlHandShake;
        h.FlowReplace = flowReplace;
        h.XonLimit = xonLimit;
        h.XoffLimit = xoffLimit;
        return Control(IOCTL_SERIAL_SET_HANDFLOW, sim::Bytes(h));
    }
    // The chip receives `bytes` from the wire; the bus carries them up.
    void Receive(const std::vector<uint8_t>& bytes) { chip().InjectReceived(bytes); }
    void Receive(const std::string& text) { Receive(std::vector<uint8_t>(text.begin(), text.end())); }
    static std::string Text(const std::vector<uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }
    bool RunUntilCompleted(const sim::FileRequestHandle& r, sim::Ticks limit = 10 * sim::kSecond) {
        return sim_.RunUntil([&] { return r->Completed(); }, limit);
    }

    sim::Workbench bench_;
    sim::Adapter* adapter_ = nullptr;
    sim::File file_;
};

}  // namespace simtest
