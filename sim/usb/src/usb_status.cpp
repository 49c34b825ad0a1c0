// USBD statuses as the bus driver reports them: the NT status each one maps to
// when the IRP completes, and names for traces.
#include <sim/usb_bus.h>

#include <cstdio>

namespace sim {

namespace {

std::string HexName(unsigned value, int digits) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%0*X", digits, value);
    return buf;
}

}  // namespace

NTSTATUS UsbdStatusToNtStatus(USBD_STATUS status) {
    switch (status) {
        case USBD_STATUS_SUCCESS:
            return STATUS_SUCCESS;
        case USBD_STATUS_PENDING:
            return STATUS_PENDING;
        case USBD_STATUS_CANCELED:
            return STATUS_CANCELLED;
        case USBD_STATUS_DEVICE_GONE:
            return STATUS_DEVICE_NOT_CONNECTED;
        case USBD_STATUS_INVALID_URB_FUNCTION:
        case USBD_STATUS_INVALID_PARAMETER:
        case USBD_STATUS_INVALID_PIPE_HANDLE:
            return STATUS_INVALID_PARAMETER;
        case USBD_STATUS_INSUFFICIENT_RESOURCES:
            return STATUS_INSUFFICIENT_RESOURCES;
        case USBD_STATUS_ERROR_BUSY:
            return STATUS_DEVICE_BUSY;
        case USBD_STATUS_TIMEOUT:
            return STATUS_IO_TIMEOUT;
        case USBD_STATUS_BUFFER_TOO_SMALL:
            return STATUS_BUFFER_TOO_SMALL;
        case kUsbdStatusNotSupported:
            return STATUS_NOT_SUPPORTED;
        default:
            break;
    }
    // Transfer errors (stall, CRC, no response, underrun, halted endpoint...)
    // reach the client as a plain failure; the URB status tells which.
    return USBD_SUCCESS(status) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

std::string UsbdStatusName(USBD_STATUS status) {
    switch (status) {
        case USBD_STATUS_SUCCESS:
            return "SUCCESS";
        case USBD_STATUS_PENDING:
            return "PENDING";
        case USBD_STATUS_CRC:
            return "CRC";
        case USBD_STATUS_STALL_PID:
            return "STALL_PID";
        case USBD_STATUS_DEV_NOT_RESPONDING:
            return "DEV_NOT_RESPONDING";
        case USBD_STATUS_DATA_OVERRUN:
            return "DATA_OVERRUN";
        case kUsbdStatusDataUnderrun:
            return "DATA_UNDERRUN";
        case USBD_STATUS_BUFFER_OVERRUN:
            return "BUFFER_OVERRUN";
        case USBD_STATUS_ENDPOINT_HALTED:
            return "ENDPOINT_HALTED";
        case USBD_STATUS_INVALID_URB_FUNCTION:
            return "INVALID_URB_FUNCTION";
        case USBD_STATUS_INVALID_PARAMETER:
            return "INVALID_PARAMETER";
        case USBD_STATUS_ERROR_BUSY:
            return "ERROR_BUSY";
        case USBD_STATUS_INVALID_PIPE_HANDLE:
            return "INVALID_PIPE_HANDLE";
        case USBD_STATUS_ERROR_SHORT_TRANSFER:
            return "ERROR_SHORT_TRANSFER";
        case USBD_STATUS_INSUFFICIENT_RESOURCES:
            return "INSUFFICIENT_RESOURCES";
        case USBD_STATUS_SET_CONFIG_FAILED:
            return "SET_CONFIG_FAILED";
        case USBD_STATUS_BUFFER_TOO_SMALL:
            return "BUFFER_TOO_SMALL";
        case USBD_STATUS_INTERFACE_NOT_FOUND:
            return "INTERFACE_NOT_FOUND";
        case USBD_STATUS_TIMEOUT:
            return "TIMEOUT";
        case USBD_STATUS_DEVICE_GONE:
            return "DEVICE_GONE";
        case USBD_STATUS_CANCELED:
            return "CANCELED";
        case kUsbdStatusNotSupported:
            return "NOT_SUPPORTED";
        default:
            return HexName(static_cast<unsigned>(status), 8);
    }
}

std::string UrbFunctionName(USHORT function) {
    switch (function) {
        case URB_FUNCTION_SELECT_CONFIGURATION:
            return "SELECT_CONFIGURATION";
        case URB_FUNCTION_SELECT_INTERFACE:
            return "SELECT_INTERFACE";
        case URB_FUNCTION_ABORT_PIPE:
            return "ABORT_PIPE";
        case URB_FUNCTION_CONTROL_TRANSFER:
            return "CONTROL_TRANSFER";
        case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
            return "BULK_OR_INTERRUPT_TRANSFER";
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
            return "GET_DESCRIPTOR_FROM_DEVICE";
        case URB_FUNCTION_SET_FEATURE_TO_DEVICE:
            return "SET_FEATURE_TO_DEVICE";
        case URB_FUNCTION_SET_FEATURE_TO_INTERFACE:
            return "SET_FEATURE_TO_INTERFACE";
        case URB_FUNCTION_SET_FEATURE_TO_ENDPOINT:
            return "SET_FEATURE_TO_ENDPOINT";
        case URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE:
            return "CLEAR_FEATURE_TO_DEVICE";
        case URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE:
            return "CLEAR_FEATURE_TO_INTERFACE";
        case URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT:
            return "CLEAR_FEATURE_TO_ENDPOINT";
        case URB_FUNCTION_VENDOR_DEVICE:
            return "VENDOR_DEVICE";
        case URB_FUNCTION_VENDOR_INTERFACE:
            return "VENDOR_INTERFACE";
        case URB_FUNCTION_VENDOR_ENDPOINT:
            return "VENDOR_ENDPOINT";
        case URB_FUNCTION_CLASS_DEVICE:
            return "CLASS_DEVICE";
        case URB_FUNCTION_CLASS_INTERFACE:
            return "CLASS_INTERFACE";
        case URB_FUNCTION_CLASS_ENDPOINT:
            return "CLASS_ENDPOINT";
        case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
            return "SYNC_RESET_PIPE_AND_CLEAR_STALL";
        default:
            return HexName(function, 4);
    }
}

bool UrbMatch::Matches(const UrbSummary& urb) const {
    if (function && *function != urb.function)
        return false;
    if (endpoint && *endpoint != urb.endpoint)
        return false;
    if (request && (!urb.hasSetup || *request != urb.setup.bRequest))
        return false;
    if (predicate && !predicate(urb))
        return false;
    return true;
}

}  // namespace sim
