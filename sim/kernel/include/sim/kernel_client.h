// A kernel-mode client of a device, as a driver stacked above a serial port is:
// it holds the device object it opened (the top of the port's stack, as
// IoGetDeviceObjectPointer gives it) and sends it requests from a system
// thread, built the way such a driver builds them.
#pragma once

#include <cstdint>
#include <vector>

#include <simnt/wdm.h>

namespace sim {

struct KernelRequestResult {
    NTSTATUS returned = STATUS_PENDING;  // what the dispatch routine answered
    NTSTATUS status = STATUS_PENDING;    // the status block once the request ended
    ULONG_PTR information = 0;
    std::vector<uint8_t> output;  // the caller's output buffer after the request
};

class KernelClient {
  public:
    // `device`: the device object the client opened; requests go to the top of
    // its stack.
    explicit KernelClient(PDEVICE_OBJECT device) : device_(device) {}

    // One internal device control (IRP_MJ_INTERNAL_DEVICE_CONTROL, METHOD_BUFFERED)
    // built with IoBuildDeviceIoControlRequest and waited for at PASSIVE_LEVEL in
    // a system thread. Empty input and zero output length give a request with no
    // buffer at all.
    KernelRequestResult InternalDeviceControl(ULONG code, const std::vector<uint8_t>& input = {},
                                              ULONG outputLength = 0) const;

  private:
    PDEVICE_OBJECT device_;
};

}  // namespace sim
