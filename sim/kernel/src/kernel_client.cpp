// A driver stacked above a device sends it requests as Windows drivers do:
// IoBuildDeviceIoControlRequest with an event and a status block on its own
// stack, IoCallDriver, and a wait when the answer is STATUS_PENDING.
#include "internal.h"

#include <sim/kernel_client.h>

namespace sim {

KernelRequestResult KernelClient::InternalDeviceControl(ULONG code,
                                                        const std::vector<uint8_t>& input,
                                                        ULONG outputLength) const {
    KernelRequestResult result;
    PDEVICE_OBJECT target = device_;
    RunInSystemThread(
        "kernel-mode client",
        [&] {
            std::vector<uint8_t> in = input;
            result.output.assign(outputLength, 0);
            KEVENT done;
            KeInitializeEvent(&done, NotificationEvent, FALSE);
            IO_STATUS_BLOCK iosb{};
            PIRP irp = IoBuildDeviceIoControlRequest(
                code, TopOfStack(target), in.empty() ? nullptr : in.data(),
                static_cast<ULONG>(in.size()), outputLength ? result.output.data() : nullptr,
                outputLength, TRUE, &done, &iosb);
            if (!irp) {
                result.returned = result.status = STATUS_INSUFFICIENT_RESOURCES;
                return;
            }
            result.returned = IoCallDriver(TopOfStack(target), irp);
            if (result.returned == STATUS_PENDING)
                KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
            else
                iosb.Status = result.returned;
            result.status = iosb.Status;
            result.information = iosb.Information;
        },
        120 * kSecond);
    return result;
}

}  // namespace sim
