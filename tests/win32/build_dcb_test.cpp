// BuildCommDCB and BuildCommDCBAndTimeouts: both forms of the mode string,
// what each member becomes, and strings that are refused (the DCB untouched).
#include <windows.h>

#include <cstring>
#include <string>

#include <gtest/gtest.h>

namespace {

// A DCB with every member at a value no string produces, to see what changed.
DCB Marked() {
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = 1;
    dcb.ByteSize = 3;
    dcb.Parity = 9;
    dcb.StopBits = 9;
    dcb.fInX = dcb.fOutX = dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = TRUE;
    dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
    dcb.fRtsControl = RTS_CONTROL_TOGGLE;
    dcb.XonChar = 1;
    dcb.XoffChar = 2;
    return dcb;
}

struct Row {
    const char* text;
    DWORD baud;
    BYTE data, parity, stop;
    bool inX, outX, cts, dsr;
    DWORD dtr, rts;
    bool dsrSensitivity;
};

// 9/3/9/9 mark what the string leaves alone.
const Row kRows[] = {
    {"baud=1200 parity=N data=8 stop=1", 1200, 8, NOPARITY, ONESTOPBIT, false, false, false, false, 1, 1, false},
    {"COM1: baud=9600 parity=e data=7 stop=2", 9600, 7, EVENPARITY, TWOSTOPBITS, false, false, false, false, 1, 1, false},
    {"com3 BAUD=115200 PARITY=O DATA=5 STOP=1.5", 115200, 5, ODDPARITY, ONE5STOPBITS, false, false, false, false, 1, 1, false},
    {"baud=96", 9600, 3, 9, 9, false, false, false, false, 1, 1, false},
    {"baud=19 parity=m", 19200, 3, MARKPARITY, 9, false, false, false, false, 1, 1, false},
    {"baud=11", 110, 3, 9, TWOSTOPBITS, false, false, false, false, 1, 1, false},
    {"baud=110 stop=1", 110, 3, 9, ONESTOPBIT, false, false, false, false, 1, 1, false},
    {"parity=s", 1, 3, SPACEPARITY, 9, false, false, false, false, 1, 1, false},
    {"baud=9600 xon=on odsr=on octs=on dtr=hs rts=hs idsr=on", 9600, 3, 9, 9, true, true, true, true, 2, 2, true},
    {"baud=9600 to=on xon=off odsr=off octs=on dtr=on rts=hs idsr=off", 9600, 3, 9, 9, false, false, true, false, 1, 2, false},
    {"dtr=off rts=off", 1, 3, 9, 9, false, false, false, false, 0, 0, false},
    {"rts=tg", 1, 3, 9, 9, false, false, false, false, 1, 3, false},
    // The older form.
    {"COM1: 9600,n,8,1", 9600, 8, NOPARITY, ONESTOPBIT, false, false, false, false, 1, 1, false},
    {"96,e,7,1", 9600, 7, EVENPARITY, ONESTOPBIT, false, false, false, false, 1, 1, false},
    {"COM2:1200,o,7,2,x", 1200, 7, ODDPARITY, TWOSTOPBITS, true, true, false, false, 1, 1, false},
    {"COM1: 9600,n,8,1,p", 9600, 8, NOPARITY, ONESTOPBIT, false, false, true, true, 2, 2, false},
    {"19200", 19200, 3, 9, 9, false, false, false, false, 1, 1, false},
    {"11,n,8", 110, 8, NOPARITY, TWOSTOPBITS, false, false, false, false, 1, 1, false},
    {"4800,,7", 4800, 7, 9, 9, false, false, false, false, 1, 1, false},
    {"57600, e , 8 , 1.5", 57600, 8, EVENPARITY, ONE5STOPBITS, false, false, false, false, 1, 1, false},
};

TEST(Win32BuildCommDcb, EachFormSetsWhatItNamesAndFlowControlStartsOff) {
    for (const Row& row : kRows) {
        SCOPED_TRACE(row.text);
        DCB dcb = Marked();
        ASSERT_TRUE(BuildCommDCBA(row.text, &dcb));
        EXPECT_EQ(dcb.BaudRate, row.baud);
        EXPECT_EQ(dcb.ByteSize, row.data);
        EXPECT_EQ(dcb.Parity, row.parity);
        EXPECT_EQ(dcb.StopBits, row.stop);
        EXPECT_EQ(dcb.fInX, row.inX);
        EXPECT_EQ(dcb.fOutX, row.outX);
        EXPECT_EQ(dcb.fOutxCtsFlow, row.cts);
        EXPECT_EQ(dcb.fOutxDsrFlow, row.dsr);
        EXPECT_EQ(dcb.fDtrControl, row.dtr);
        EXPECT_EQ(dcb.fRtsControl, row.rts);
        EXPECT_EQ(dcb.fDsrSensitivity, row.dsrSensitivity);
        // What no string touches.
        EXPECT_EQ(dcb.XonChar, 1);
        EXPECT_EQ(dcb.XoffChar, 2);
        EXPECT_EQ(dcb.DCBlength, sizeof(DCB));

        // The wide form reads the same.
        const std::string narrow = row.text;
        const std::wstring wide(narrow.begin(), narrow.end());
        DCB other = Marked();
        ASSERT_TRUE(BuildCommDCBW(wide.c_str(), &other));
        EXPECT_EQ(std::memcmp(&dcb, &other, sizeof dcb), 0);
    }
}

TEST(Win32BuildCommDcb, StringsThatCannotBeReadLeaveTheDcbAlone) {
    const char* const bad[] = {
        "baud=",            "baud=fast",       "parity=x",          "data=9",
        "data=4",           "stop=3",          "stop=1.0",          "xon=yes",
        "dtr=tg",           "rts=maybe",       "speed=9600",        "baud=9600,parity=n",
        "9600,n,8,1 baud=1200", "9600,q,8,1",  "9600,n,9,1",        "9600,n,8,3",
        "9600,n,8,1,z",     "9600,n,8,1,x,y",  "LPT1: baud=9600",   "COM0: baud=9600",
        "COM: 9600",        "COMX baud=9600",  "=9600",             ",n,8,1",
        "COM1:baud=9600 data=8 stop=1 parity=n extra",
    };
    for (const char* text : bad) {
        SCOPED_TRACE(text);
        DCB dcb = Marked();
        const DCB before = dcb;
        SetLastError(0);
        EXPECT_FALSE(BuildCommDCBA(text, &dcb));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
        EXPECT_EQ(std::memcmp(&dcb, &before, sizeof dcb), 0);
    }
    DCB dcb = Marked();
    EXPECT_FALSE(BuildCommDCBA(nullptr, &dcb));
    EXPECT_FALSE(BuildCommDCBA("baud=9600", nullptr));
}

TEST(Win32BuildCommDcb, TimeoutsFollowTheToSetting) {
    DCB dcb = Marked();
    COMMTIMEOUTS t{1, 2, 3, 4, 5};
    ASSERT_TRUE(BuildCommDCBAndTimeoutsA("baud=9600", &dcb, &t));
    EXPECT_EQ(t.ReadIntervalTimeout, 1u);  // untouched without to=
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 5u);
    ASSERT_TRUE(BuildCommDCBAndTimeoutsA("baud=9600 to=on", &dcb, &t));
    EXPECT_EQ(t.ReadIntervalTimeout, 0u);
    EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 0u);
    EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 60000u);
    t = COMMTIMEOUTS{1, 2, 3, 4, 5};
    ASSERT_TRUE(BuildCommDCBAndTimeoutsW(L"COM1: to=off", &dcb, &t));
    const COMMTIMEOUTS zero{};
    EXPECT_EQ(std::memcmp(&t, &zero, sizeof t), 0);
    t = COMMTIMEOUTS{1, 2, 3, 4, 5};
    EXPECT_FALSE(BuildCommDCBAndTimeoutsA("to=sometimes", &dcb, &t));
    EXPECT_EQ(t.ReadIntervalTimeout, 1u);
}

}  // namespace
