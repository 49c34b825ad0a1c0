// The device-control surface of an open port, as an application reaches it:
// any code with any buffer lengths and contents, in sequences with reads,
// writes, purges, cancels, time passing and the handle closed and opened again.
// Every request must end with a status once cancelled; the driver must hold no
// more pool afterwards than before.
#include "fuzz/fuzz_session.h"

#include <cstdio>
#include <cstdlib>

#include <sim/io.h>

namespace fuzz {


int RunControls(const uint8_t* data, size_t size) {
    OpenPort* port = &SharedPort();
    sim::Simulation& sim = port->Sim();
    Input in(data, size);
    Requests requests;
    port->BeginInput();
    for (int step = 0; step < 48 && !in.Empty(); ++step) {
        sim::File& file = port->File();
        const uint8_t op = in.Byte();
        if (std::getenv("VODREK_FUZZ_TRACE")) std::fprintf(stderr, "  op %u, pool %zu\n", op % 10, DriverPoolBlocks());
        switch (op % 10) {
        case 0:
        case 1:
        case 2: {  // a device control
            sim::FileRequestHandle issued;
            const ULONG code = AnyControl(in, file, requests, &issued);
            port->Note(code, issued);
            break;
        }
        case 3: {  // a read
            ULONG length = in.Byte() & 0x80 ? in.Word() : in.Byte();
            if (file.IsOpen()) requests.Add(file.Read(length));
            break;
        }
        case 4: {  // a write
            ULONG length = in.Byte() & 0x80 ? in.Word() % 8192 : in.Byte();
            std::vector<uint8_t> bytes = Contents(in, length);
            if (file.IsOpen()) requests.Add(file.Write(std::move(bytes)));
            break;
        }
        case 5: {  // a purge of any combination of queues and buffers
            ULONG mask = in.Byte() & 0x8F;
            port->Note(IOCTL_SERIAL_PURGE);
            if (file.IsOpen()) requests.Add(file.DeviceIoControl(IOCTL_SERIAL_PURGE, sim::Bytes(mask), 0));
            break;
        }
        case 6: {  // cancel one request, or all of them
            if (!file.IsOpen()) break;
            requests.Prune();
            uint8_t which = in.Byte();
            if (requests.Count() == 0 || which == 0xFF)
                file.CancelIoEx();
            else
                file.CancelIoEx(requests.At(which));
            break;
        }
        case 7:  // time passes: nothing, a frame, a clock tick, up to seconds
            sim.RunFor(static_cast<sim::Ticks>(in.Byte()) * (op & 0x80 ? 20 : 1) * sim::kMillisecond);
            break;
        case 8:  // the handle closes (its requests with it), and a new one opens
            if (op & 0x10) {
                port->MarkChanged();
                if (file.IsOpen()) file.Close();
                requests.ExpectAllComplete(sim, 10 * sim::kSecond, "after the handle closed");
                port->Reopen();
            } else if (file.IsOpen()) {
                // A flush returns only once the writes before it have ended, and a
                // write held for good (by a break, say) holds it too: a second
                // thread of the application makes it, so this one can go on and
                // cancel.
                const HANDLE handle = file.Handle();
                requests.AddThread(sim.CreateThread("flush", [handle] {
                    IO_STATUS_BLOCK iosb{};
                    sim::NtFlushBuffersFile(handle, &iosb);
                }));
            }
            break;
        case 9:  // the line brings bytes of its own (any bytes, flow characters too)
            port->Adapter().Chip().InjectReceived(in.Bytes(in.Byte() % 128));
            break;
        }
        sim.RunUntilIdle();
    }
    sim.RunFor(static_cast<sim::Ticks>(in.Byte()) * sim::kMillisecond);
    EndSharedInput(requests);
    return 0;
}

}  // namespace fuzz
