// kernel32's communications functions: each becomes the IOCTL_SERIAL_*
// requests kernel32 sends for it, in its order, after its own checks.
#include <ntddser.h>

#include "kernel32.h"

using namespace sim::win32;

namespace sim::win32 {

NtStatus CommControl(HANDLE file, DWORD code, const void* input, DWORD inputLength, void* output,
                     DWORD outputLength, DWORD* returned) {
    void* event = nullptr;
    bool existed = false;
    sim::win32::NewEvent(&event, true, false, u"", &existed);
    StatusBlock iosb{};
    NtStatus status =
        DeviceControl(file, event, &iosb, code, input, inputLength, output, outputLength);
    if (status == kStatusPending) {
        Wait(&event, 1, false, -1);
        status = iosb.status;
    }
    sim::win32::CloseHandle(event);
    if (returned)
        *returned = NtSuccess(status) ? static_cast<DWORD>(iosb.information) : 0;
    return status;
}

BOOL CommRequest(HANDLE file, DWORD code, const void* input, DWORD inputLength, void* output,
                 DWORD outputLength) {
    const NtStatus status = CommControl(file, code, input, inputLength, output, outputLength);
    if (!NtSuccess(status)) {
        SetLastNtError(status);
        return FALSE;
    }
    return TRUE;
}

}  // namespace sim::win32

namespace {

// The port's settings as the four GET requests give them.
struct PortState {
    SERIAL_BAUD_RATE baud{};
    SERIAL_LINE_CONTROL line{};
    SERIAL_CHARS chars{};
    SERIAL_HANDFLOW handflow{};
};

NtStatus ReadState(HANDLE file, PortState* state) {
    NtStatus status =
        CommControl(file, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &state->baud, sizeof state->baud);
    if (NtSuccess(status))
        status = CommControl(file, IOCTL_SERIAL_GET_LINE_CONTROL, nullptr, 0, &state->line,
                             sizeof state->line);
    if (NtSuccess(status))
        status = CommControl(file, IOCTL_SERIAL_GET_CHARS, nullptr, 0, &state->chars,
                             sizeof state->chars);
    if (NtSuccess(status))
        status = CommControl(file, IOCTL_SERIAL_GET_HANDFLOW, nullptr, 0, &state->handflow,
                             sizeof state->handflow);
    return status;
}

// The four SET requests, in kernel32's order; answers the first failure.
NtStatus WriteState(HANDLE file, const PortState& state) {
    NtStatus status = CommControl(file, IOCTL_SERIAL_SET_BAUD_RATE, &state.baud, sizeof state.baud,
                                  nullptr, 0);
    if (NtSuccess(status))
        status = CommControl(file, IOCTL_SERIAL_SET_LINE_CONTROL, &state.line, sizeof state.line,
                             nullptr, 0);
    if (NtSuccess(status))
        status = CommControl(file, IOCTL_SERIAL_SET_CHARS, &state.chars, sizeof state.chars,
                             nullptr, 0);
    if (NtSuccess(status))
        status = CommControl(file, IOCTL_SERIAL_SET_HANDFLOW, &state.handflow,
                             sizeof state.handflow, nullptr, 0);
    return status;
}

void ToDcb(const PortState& s, DCB* dcb) {
    dcb->DCBlength = sizeof(DCB);
    dcb->BaudRate = s.baud.BaudRate;
    dcb->fBinary = TRUE;
    dcb->fParity = TRUE;
    const ULONG control = s.handflow.ControlHandShake;
    const ULONG replace = s.handflow.FlowReplace;
    dcb->fOutxCtsFlow = (control & SERIAL_CTS_HANDSHAKE) != 0;
    dcb->fOutxDsrFlow = (control & SERIAL_DSR_HANDSHAKE) != 0;
    switch (control & SERIAL_DTR_MASK) {
        case SERIAL_DTR_CONTROL:
            dcb->fDtrControl = DTR_CONTROL_ENABLE;
            break;
        case SERIAL_DTR_HANDSHAKE:
            dcb->fDtrControl = DTR_CONTROL_HANDSHAKE;
            break;
        default:
            dcb->fDtrControl = DTR_CONTROL_DISABLE;
            break;
    }
    dcb->fDsrSensitivity = (control & SERIAL_DSR_SENSITIVITY) != 0;
    dcb->fTXContinueOnXoff = (replace & SERIAL_XOFF_CONTINUE) != 0;
    dcb->fOutX = (replace & SERIAL_AUTO_TRANSMIT) != 0;
    dcb->fInX = (replace & SERIAL_AUTO_RECEIVE) != 0;
    dcb->fErrorChar = (replace & SERIAL_ERROR_CHAR) != 0;
    dcb->fNull = (replace & SERIAL_NULL_STRIPPING) != 0;
    switch (replace & SERIAL_RTS_MASK) {
        case SERIAL_RTS_CONTROL:
            dcb->fRtsControl = RTS_CONTROL_ENABLE;
            break;
        case SERIAL_RTS_HANDSHAKE:
            dcb->fRtsControl = RTS_CONTROL_HANDSHAKE;
            break;
        case SERIAL_TRANSMIT_TOGGLE:
            dcb->fRtsControl = RTS_CONTROL_TOGGLE;
            break;
        default:
            dcb->fRtsControl = RTS_CONTROL_DISABLE;
            break;
    }
    dcb->fAbortOnError = (control & SERIAL_ERROR_ABORT) != 0;
    dcb->fDummy2 = 0;
    dcb->wReserved = 0;
    dcb->XonLim = static_cast<WORD>(s.handflow.XonLimit);
    dcb->XoffLim = static_cast<WORD>(s.handflow.XoffLimit);
    dcb->ByteSize = s.line.WordLength;
    dcb->Parity = s.line.Parity;
    dcb->StopBits = s.line.StopBits;
    dcb->XonChar = static_cast<char>(s.chars.XonChar);
    dcb->XoffChar = static_cast<char>(s.chars.XoffChar);
    dcb->ErrorChar = static_cast<char>(s.chars.ErrorChar);
    dcb->EofChar = static_cast<char>(s.chars.EofChar);
    dcb->EvtChar = static_cast<char>(s.chars.EventChar);
    dcb->wReserved1 = 0;
}

// The settings a DCB asks for, over the port's present ones: what the DCB
// does not describe (the break character, the carrier handshake) stays.
PortState FromDcb(const DCB& dcb, const PortState& old) {
    PortState s = old;
    s.baud.BaudRate = dcb.BaudRate;
    s.line.WordLength = dcb.ByteSize;
    s.line.Parity = dcb.Parity;
    s.line.StopBits = dcb.StopBits;
    s.chars.XonChar = static_cast<UCHAR>(dcb.XonChar);
    s.chars.XoffChar = static_cast<UCHAR>(dcb.XoffChar);
    s.chars.ErrorChar = static_cast<UCHAR>(dcb.ErrorChar);
    s.chars.EofChar = static_cast<UCHAR>(dcb.EofChar);
    s.chars.EventChar = static_cast<UCHAR>(dcb.EvtChar);
    ULONG control = old.handflow.ControlHandShake &
                    ~(SERIAL_DTR_MASK | SERIAL_CTS_HANDSHAKE | SERIAL_DSR_HANDSHAKE |
                      SERIAL_DSR_SENSITIVITY | SERIAL_ERROR_ABORT);
    ULONG replace = old.handflow.FlowReplace &
                    ~(SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE | SERIAL_ERROR_CHAR |
                      SERIAL_NULL_STRIPPING | SERIAL_RTS_MASK | SERIAL_XOFF_CONTINUE);
    if (dcb.fOutxCtsFlow)
        control |= SERIAL_CTS_HANDSHAKE;
    if (dcb.fOutxDsrFlow)
        control |= SERIAL_DSR_HANDSHAKE;
    if (dcb.fDtrControl == DTR_CONTROL_ENABLE)
        control |= SERIAL_DTR_CONTROL;
    else if (dcb.fDtrControl == DTR_CONTROL_HANDSHAKE)
        control |= SERIAL_DTR_HANDSHAKE;
    if (dcb.fDsrSensitivity)
        control |= SERIAL_DSR_SENSITIVITY;
    if (dcb.fAbortOnError)
        control |= SERIAL_ERROR_ABORT;
    if (dcb.fOutX)
        replace |= SERIAL_AUTO_TRANSMIT;
    if (dcb.fInX)
        replace |= SERIAL_AUTO_RECEIVE;
    if (dcb.fErrorChar)
        replace |= SERIAL_ERROR_CHAR;
    if (dcb.fNull)
        replace |= SERIAL_NULL_STRIPPING;
    if (dcb.fTXContinueOnXoff)
        replace |= SERIAL_XOFF_CONTINUE;
    switch (dcb.fRtsControl) {
        case RTS_CONTROL_ENABLE:
            replace |= SERIAL_RTS_CONTROL;
            break;
        case RTS_CONTROL_HANDSHAKE:
            replace |= SERIAL_RTS_HANDSHAKE;
            break;
        case RTS_CONTROL_TOGGLE:
            replace |= SERIAL_TRANSMIT_TOGGLE;
            break;
    }
    s.handflow.ControlHandShake = control;
    s.handflow.FlowReplace = replace;
    s.handflow.XonLimit = dcb.XonLim;
    s.handflow.XoffLimit = dcb.XoffLim;
    return s;
}

BOOL Fail(NtStatus status) {
    SetLastNtError(status);
    return FALSE;
}

BOOL Refuse(DWORD error) {
    SetLastError(error);
    return FALSE;
}

}  // namespace

extern "C" {

BOOL WINAPI GetCommState(HANDLE hFile, LPDCB lpDCB) {
    if (!lpDCB)
        return Refuse(ERROR_INVALID_PARAMETER);
    PortState state;
    const NtStatus status = ReadState(hFile, &state);
    if (!NtSuccess(status))
        return Fail(status);
    ToDcb(state, lpDCB);
    return TRUE;
}

BOOL WINAPI SetCommState(HANDLE hFile, LPDCB lpDCB) {
    if (!lpDCB)
        return Refuse(ERROR_INVALID_PARAMETER);
    // The one check kernel32 makes itself: the flow characters must differ.
    if (lpDCB->XonChar == lpDCB->XoffChar)
        return Refuse(ERROR_INVALID_PARAMETER);
    PortState old;
    NtStatus status = ReadState(hFile, &old);
    if (!NtSuccess(status))
        return Fail(status);
    status = WriteState(hFile, FromDcb(*lpDCB, old));
    // Then the lines the DCB sets outright; a handshake leaves them to the driver.
    if (NtSuccess(status) && lpDCB->fDtrControl == DTR_CONTROL_ENABLE)
        status = CommControl(hFile, IOCTL_SERIAL_SET_DTR, nullptr, 0, nullptr, 0);
    else if (NtSuccess(status) && lpDCB->fDtrControl == DTR_CONTROL_DISABLE)
        status = CommControl(hFile, IOCTL_SERIAL_CLR_DTR, nullptr, 0, nullptr, 0);
    if (NtSuccess(status) && lpDCB->fRtsControl == RTS_CONTROL_ENABLE)
        status = CommControl(hFile, IOCTL_SERIAL_SET_RTS, nullptr, 0, nullptr, 0);
    else if (NtSuccess(status) && lpDCB->fRtsControl == RTS_CONTROL_DISABLE)
        status = CommControl(hFile, IOCTL_SERIAL_CLR_RTS, nullptr, 0, nullptr, 0);
    if (NtSuccess(status))
        return TRUE;
    // A step failed: the port goes back to what it had, and the caller hears
    // of the step that failed.
    WriteState(hFile, old);
    return Fail(status);
}

BOOL WINAPI GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
    return CommRequest(hFile, IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, lpCommTimeouts,
                       sizeof(COMMTIMEOUTS));
}

BOOL WINAPI SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
    return CommRequest(hFile, IOCTL_SERIAL_SET_TIMEOUTS, lpCommTimeouts, sizeof(COMMTIMEOUTS));
}

BOOL WINAPI SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue) {
    SERIAL_QUEUE_SIZE size{dwInQueue, dwOutQueue};
    return CommRequest(hFile, IOCTL_SERIAL_SET_QUEUE_SIZE, &size, sizeof size);
}

BOOL WINAPI GetCommProperties(HANDLE hFile, LPCOMMPROP lpCommProp) {
    // A caller that wants the provider's own data past the record says how
    // much room it has.
    DWORD length = sizeof(COMMPROP);
    if (lpCommProp->dwProvSpec1 == COMMPROP_INITIALIZED && lpCommProp->wPacketLength > length)
        length = lpCommProp->wPacketLength;
    return CommRequest(hFile, IOCTL_SERIAL_GET_PROPERTIES, nullptr, 0, lpCommProp, length);
}

BOOL WINAPI GetCommMask(HANDLE hFile, LPDWORD lpEvtMask) {
    return CommRequest(hFile, IOCTL_SERIAL_GET_WAIT_MASK, nullptr, 0, lpEvtMask, sizeof(DWORD));
}

BOOL WINAPI SetCommMask(HANDLE hFile, DWORD dwEvtMask) {
    return CommRequest(hFile, IOCTL_SERIAL_SET_WAIT_MASK, &dwEvtMask, sizeof dwEvtMask);
}

BOOL WINAPI WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped) {
    if (lpOverlapped) {
        lpOverlapped->Internal = kStatusPending;
        const NtStatus status =
            DeviceControl(hFile, lpOverlapped->hEvent, reinterpret_cast<StatusBlock*>(lpOverlapped),
                          IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, lpEvtMask, sizeof(DWORD));
        if (NtError(status))
            return Fail(status);
        if (status == kStatusPending)
            return Refuse(ERROR_IO_PENDING);
        return TRUE;
    }
    return CommRequest(hFile, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, lpEvtMask, sizeof(DWORD));
}

BOOL WINAPI ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat) {
    SERIAL_STATUS status{};
    if (!CommRequest(hFile, IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &status, sizeof status))
        return FALSE;
    if (lpErrors) {
        DWORD errors = 0;
        if (status.Errors & SERIAL_ERROR_QUEUEOVERRUN)
            errors |= CE_RXOVER;
        if (status.Errors & SERIAL_ERROR_OVERRUN)
            errors |= CE_OVERRUN;
        if (status.Errors & SERIAL_ERROR_PARITY)
            errors |= CE_RXPARITY;
        if (status.Errors & SERIAL_ERROR_FRAMING)
            errors |= CE_FRAME;
        if (status.Errors & SERIAL_ERROR_BREAK)
            errors |= CE_BREAK;
        *lpErrors = errors;
    }
    if (lpStat) {
        std::memset(lpStat, 0, sizeof *lpStat);
        lpStat->fCtsHold = (status.HoldReasons & SERIAL_TX_WAITING_FOR_CTS) != 0;
        lpStat->fDsrHold = (status.HoldReasons & SERIAL_TX_WAITING_FOR_DSR) != 0;
        lpStat->fRlsdHold = (status.HoldReasons & SERIAL_TX_WAITING_FOR_DCD) != 0;
        lpStat->fXoffHold = (status.HoldReasons & SERIAL_TX_WAITING_FOR_XON) != 0;
        lpStat->fXoffSent = (status.HoldReasons & SERIAL_TX_WAITING_XOFF_SENT) != 0;
        lpStat->fEof = status.EofReceived != 0;
        lpStat->fTxim = status.WaitForImmediate != 0;
        lpStat->cbInQue = status.AmountInInQueue;
        lpStat->cbOutQue = status.AmountInOutQueue;
    }
    return TRUE;
}

BOOL WINAPI PurgeComm(HANDLE hFile, DWORD dwFlags) {
    return CommRequest(hFile, IOCTL_SERIAL_PURGE, &dwFlags, sizeof dwFlags);
}

BOOL WINAPI EscapeCommFunction(HANDLE hFile, DWORD dwFunc) {
    DWORD code;
    switch (dwFunc) {
        case SETXOFF:
            code = IOCTL_SERIAL_SET_XOFF;
            break;
        case SETXON:
            code = IOCTL_SERIAL_SET_XON;
            break;
        case SETRTS:
            code = IOCTL_SERIAL_SET_RTS;
            break;
        case CLRRTS:
            code = IOCTL_SERIAL_CLR_RTS;
            break;
        case SETDTR:
            code = IOCTL_SERIAL_SET_DTR;
            break;
        case CLRDTR:
            code = IOCTL_SERIAL_CLR_DTR;
            break;
        case RESETDEV:
            code = IOCTL_SERIAL_RESET_DEVICE;
            break;
        case SETBREAK:
            code = IOCTL_SERIAL_SET_BREAK_ON;
            break;
        case CLRBREAK:
            code = IOCTL_SERIAL_SET_BREAK_OFF;
            break;
        default:
            return Refuse(ERROR_INVALID_PARAMETER);
    }
    return CommRequest(hFile, code);
}

BOOL WINAPI TransmitCommChar(HANDLE hFile, char cChar) {
    const UCHAR c = static_cast<UCHAR>(cChar);
    return CommRequest(hFile, IOCTL_SERIAL_IMMEDIATE_CHAR, &c, sizeof c);
}

BOOL WINAPI SetCommBreak(HANDLE hFile) {
    return CommRequest(hFile, IOCTL_SERIAL_SET_BREAK_ON);
}

BOOL WINAPI ClearCommBreak(HANDLE hFile) {
    return CommRequest(hFile, IOCTL_SERIAL_SET_BREAK_OFF);
}

BOOL WINAPI GetCommModemStatus(HANDLE hFile, LPDWORD lpModemStat) {
    return CommRequest(hFile, IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, lpModemStat,
                       sizeof(DWORD));
}

BOOL WINAPI GetCommConfig(HANDLE hCommDev, LPCOMMCONFIG lpCC, LPDWORD lpdwSize) {
    if (!lpdwSize)
        return Refuse(ERROR_INVALID_PARAMETER);
    if (!lpCC || *lpdwSize < sizeof(COMMCONFIG)) {
        *lpdwSize = sizeof(COMMCONFIG);
        return Refuse(ERROR_INSUFFICIENT_BUFFER);
    }
    COMMPROP properties{};
    if (!GetCommProperties(hCommDev, &properties))
        return FALSE;
    if (!GetCommState(hCommDev, &lpCC->dcb))
        return FALSE;
    lpCC->dwSize = sizeof(COMMCONFIG);
    lpCC->wVersion = 1;
    lpCC->wReserved = 0;
    lpCC->dwProviderSubType = properties.dwProvSubType;
    lpCC->dwProviderOffset = 0;
    lpCC->dwProviderSize = 0;
    *lpdwSize = sizeof(COMMCONFIG);
    return TRUE;
}

// The serial provider's default for a port the machine has: 9600 baud, 8N1,
// DTR and RTS on, no flow control. It opens nothing.
BOOL WINAPI GetDefaultCommConfigW(LPCWSTR lpszName, LPCOMMCONFIG lpCC, LPDWORD lpdwSize) {
    if (!lpdwSize || !lpszName)
        return Refuse(ERROR_INVALID_PARAMETER);
    if (!lpCC || *lpdwSize < sizeof(COMMCONFIG)) {
        *lpdwSize = sizeof(COMMCONFIG);
        return Refuse(ERROR_INSUFFICIENT_BUFFER);
    }
    std::u16string name = FromWide(lpszName);
    if (!name.empty() && name.back() == u':')
        name.pop_back();
    if (!PortExists(name))
        return Refuse(ERROR_FILE_NOT_FOUND);
    std::memset(lpCC, 0, sizeof(COMMCONFIG));
    lpCC->dwSize = sizeof(COMMCONFIG);
    lpCC->wVersion = 1;
    DCB& dcb = lpCC->dcb;
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = CBR_9600;
    dcb.fBinary = TRUE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    lpCC->dwProviderSubType = PST_RS232;
    *lpdwSize = sizeof(COMMCONFIG);
    return TRUE;
}

BOOL WINAPI GetDefaultCommConfigA(LPCSTR lpszName, LPCOMMCONFIG lpCC, LPDWORD lpdwSize) {
    if (!lpszName)
        return Refuse(ERROR_INVALID_PARAMETER);
    const std::u16string name = Widen(lpszName);
    const std::wstring wide(name.begin(), name.end());
    return GetDefaultCommConfigW(wide.c_str(), lpCC, lpdwSize);
}

}  // extern "C"
