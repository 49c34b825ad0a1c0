// Internal device controls as a driver stacked above the port sends them (no
// file object; wait-wake, cancel-wait-wake, basic settings and their restore,
// and any other code), interleaved with an application's I/O on the port. A
// restore gets back whatever record the caller hands it, not only one the
// driver gave out.
#include "fuzz/fuzz_session.h"

#include <cstdio>
#include <cstdlib>

#include <sim/io.h>
#include <sim/kernel_client.h>
#include <sim/pnp.h>

namespace fuzz {

namespace {

ULONG PickInternalCode(Input& in) {
    static const ULONG kCodes[] = {
        IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE,   IOCTL_SERIAL_INTERNAL_CANCEL_WAIT_WAKE,
        IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS,
    };
    uint8_t selector = in.Byte();
    if (selector < 0xE0) return kCodes[selector % 4];
    return PickControlCode(in);  // a published or driver code sent as an internal one
}

}  // namespace

int RunInternal(const uint8_t* data, size_t size) {
    OpenPort* port = &SharedPort();
    sim::Simulation& sim = port->Sim();
    Input in(data, size);
    Requests requests;
    std::vector<sim::IrpHandle> internal;
    // What the last basic-settings request gave back, for a restore to hand in.
    std::vector<uint8_t> saved;
    port->BeginInput();
    PDEVICE_OBJECT top = sim::TopOfStack(port->Adapter().Pdo());
    for (int step = 0; step < 32 && !in.Empty(); ++step) {
        const uint8_t op = in.Byte();
        if (std::getenv("VODREK_FUZZ_TRACE"))
            std::fprintf(stderr, "  op %u (%02x), pool %zu, chip rate %u\n", op % 6, op, DriverPoolBlocks(),
                         static_cast<unsigned>(port->Adapter().Chip().Line().rateField));
        switch (op % 6) {
        case 0:
        case 1: {  // an internal control, pending or not
            ULONG code = PickInternalCode(in);
            port->Note(code);
            ULONG record = code == IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE ? 0 : sizeof(SERIAL_BASIC_SETTINGS);
            std::vector<uint8_t> input;
            if (code == IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS && (op & 0x40) && !saved.empty()) {
                input = saved;  // as a well-behaved caller does
            } else {
                input = Contents(in, PickLength(in, record));
            }
            ULONG outputLength = PickLength(in, record);
            if (std::getenv("VODREK_FUZZ_TRACE"))
                std::fprintf(stderr, "    internal %08x in %zu out %u\n", code, input.size(), outputLength);
            if (op & 0x80 && code != IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE) {
                // Through a kernel-mode client: built with
                // IoBuildDeviceIoControlRequest and waited for.
                sim::KernelRequestResult r = sim::KernelClient(top).InternalDeviceControl(code, input, outputLength);
                if (code == IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS && r.status == STATUS_SUCCESS)
                    saved.assign(r.output.begin(), r.output.begin() + static_cast<long>(r.information));
            } else {
                internal.push_back(sim::DeviceIoControl(top, code, std::move(input), outputLength, true));
            }
            break;
        }
        case 2: {  // the application reads or writes meanwhile
            sim::File& file = port->File();
            if (op & 0x40)
                requests.Add(file.Read(in.Byte()));
            else
                requests.Add(file.Write(Contents(in, in.Byte())));
            break;
        }
        case 3: {  // the driver above cancels one of its requests
            uint8_t which = in.Byte();
            if (!internal.empty() && !internal[which % internal.size()]->completed)
                sim::CancelIrp(internal[which % internal.size()]);
            break;
        }
        case 4:
            sim.RunFor(static_cast<sim::Ticks>(in.Byte()) * sim::kMillisecond);
            break;
        case 5:  // the line brings bytes
            port->Adapter().Chip().InjectReceived(in.Bytes(in.Byte() % 64));
            break;
        }
        sim.RunUntilIdle();
    }
    sim.RunFor(static_cast<sim::Ticks>(in.Byte()) * sim::kMillisecond);
    // The driver above cancels what it still waits for; each ends with a status.
    for (auto& r : internal)
        if (!r->completed) sim::CancelIrp(r);
    sim.RunUntil(
        [&] {
            for (auto& r : internal)
                if (!r->completed) return false;
            return true;
        },
        10 * sim::kSecond);
    for (auto& r : internal)
        if (!r->completed) Finding("an internal device control was still pending after its cancel");
    EndSharedInput(requests);
    return 0;
}

}  // namespace fuzz
