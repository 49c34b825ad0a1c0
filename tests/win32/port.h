// What an application does after opening a port, before using it: a rate,
// 8N1, DTR and RTS on, no flow control (the port opens with no rate at all).
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

namespace w32test {

inline void Configure(HANDLE port, DWORD baud = CBR_115200) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(port, &dcb));
    dcb.BaudRate = baud;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = dcb.fOutX = dcb.fInX = FALSE;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    ASSERT_TRUE(SetCommState(port, &dcb));
}

}  // namespace w32test
