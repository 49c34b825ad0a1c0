// Plug and Play and power sequences with I/O in flight: rebalance (query-stop,
// stop, start), stop and start again, system sleep and wake, a wake-up from the
// device, surprise removal and removal, interleaved with opens, closes, reads,
// writes, waits and cancels. The steps follow the order the Plug and Play and
// power managers keep (no start of a started device, no removal while the
// system sleeps); the input picks which step comes next and when.
#include "fuzz/fuzz_session.h"

#include <sim/io.h>
#include <sim/pnp.h>
#include <sim/power.h>

namespace fuzz {

int RunPnp(const uint8_t* data, size_t size) {
    Input in(data, size);
    sim::Simulation sim;
    {
        sim::Workbench bench;
        sim::AdapterOptions options;
        options.variant = in.Byte() % sim::BridgeChip::kVariantCount;
        sim::Adapter& adapter = bench.AddAdapter(options);
        adapter.Capture().SetKeepRecords(false);
        if (!NT_SUCCESS(adapter.Plug())) Finding("the adapter did not start");
        adapter.PlugLoopback();
        enum class State { Started, Stopped, Asleep, Gone } state = State::Started;
        sim::File file;
        Requests requests;
        for (int step = 0; step < 32 && !in.Empty(); ++step) {
            const uint8_t op = in.Byte();
            switch (op % 12) {
            case 0:  // an application opens the port (refused unless it is started)
                if (!file.IsOpen() && state != State::Gone) {
                    NTSTATUS status;
                    file = sim::File::Open(u"\\\\.\\COM3", &status, sim::OverlappedOpen());
                }
                break;
            case 1:
                if (file.IsOpen()) {
                    file.Close();
                }
                break;
            case 2:
                if (file.IsOpen()) requests.Add(file.Read(in.Byte()));
                break;
            case 3:
                if (file.IsOpen()) requests.Add(file.Write(Contents(in, in.Byte())));
                break;
            case 4:  // a wait on any event mask, or any other control
                if (file.IsOpen()) {
                    if (op & 0x80) {
                        ULONG mask = in.Word();
                        requests.Add(file.DeviceIoControl(IOCTL_SERIAL_SET_WAIT_MASK, sim::Bytes(mask)));
                        requests.Add(file.DeviceIoControl(IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG)));
                    } else {
                        AnyControl(in, file, requests);
                    }
                }
                break;
            case 5:
                if (file.IsOpen()) file.CancelIoEx();
                break;
            case 6:  // rebalance, or a stop that stays stopped for a while
                if (state == State::Started) {
                    if (op & 0x80) {
                        adapter.Rebalance();
                    } else if (NT_SUCCESS(adapter.Stop())) {
                        state = State::Stopped;
                    }
                }
                break;
            case 7:
                if (state == State::Stopped && NT_SUCCESS(adapter.Start())) state = State::Started;
                break;
            case 8: {  // the system sleeps (S1 to S4)
                if (state != State::Started) break;
                static const SYSTEM_POWER_STATE kStates[] = {PowerSystemSleeping1, PowerSystemSleeping2,
                                                             PowerSystemSleeping3, PowerSystemHibernate};
                sim::PowerTransition t = sim::SleepSystem(adapter.Pdo(), kStates[in.Byte() % 4]);
                if (!t.refused && NT_SUCCESS(t.set)) state = State::Asleep;
                break;
            }
            case 9:  // the system wakes, by itself or by the device
                if (state == State::Asleep) {
                    if (op & 0x80 && adapter.Usb().SignalWake()) {
                        sim.RunFor(100 * sim::kMillisecond);
                        if (sim::CurrentSystemPowerState() == PowerSystemWorking) {
                            state = State::Started;
                            break;
                        }
                    }
                    sim::WakeSystem(adapter.Pdo());
                    state = State::Started;
                }
                break;
            case 10:  // surprise removal (the removal follows once the handle closes)
                if (state == State::Started || state == State::Stopped) {
                    adapter.SurpriseRemove(true);
                    state = State::Gone;
                } else if (state == State::Gone) {
                    sim.RunFor(sim::kMillisecond);
                }
                break;
            case 11:
                sim.RunFor(static_cast<sim::Ticks>(in.Byte()) * (op & 0x80 ? 20 : 1) * sim::kMillisecond);
                break;
            }
            sim.RunUntilIdle();
        }
        sim.RunFor(static_cast<sim::Ticks>(in.Byte()) * sim::kMillisecond);
        if (state == State::Asleep) sim::WakeSystem(adapter.Pdo());
        if (file.IsOpen()) {
            file.CancelIoEx();
            file.Close();
        }
        requests.ExpectAllComplete(sim, 10 * sim::kSecond, "after its handle closed");
        sim.RunFor(sim::kSecond);
        if (adapter.Present()) {
            NTSTATUS removed = adapter.Remove();
            if (!NT_SUCCESS(removed) && removed != STATUS_PENDING)
                Finding("the removal failed: " + std::to_string(removed));
        }
        sim.RunFor(sim::kSecond);
    }
    return 0;
}

}  // namespace fuzz
