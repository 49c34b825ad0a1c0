// BuildCommDCB and BuildCommDCBAndTimeouts: a mode-command string into a DCB
// (and time-outs). Two forms, never mixed:
//   newer: [COMn[:]] baud=b parity=p data=d stop=s to=on|off xon=on|off
//          odsr=on|off octs=on|off dtr=on|off|hs rts=on|off|hs|tg idsr=on|off
//   older: [COMn[:]] b[,p[,d[,s[,x|p]]]]
// Only the members the string names change, except that flow control starts
// off (no XON/XOFF, no handshakes, DTR and RTS on) unless the string turns it
// on, and 110 baud without a stop-bit value gets two stop bits. A string that
// cannot be read leaves the DCB alone and answers ERROR_INVALID_PARAMETER.
#include <cctype>
#include <cstdlib>
#include <vector>

#include "kernel32.h"

using namespace sim::win32;

namespace {

std::string Lower(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool ParseNumber(const std::string& s, DWORD* out) {
    if (s.empty() || s.size() > 9)
        return false;
    DWORD v = 0;
    for (char c : s) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + static_cast<DWORD>(c - '0');
    }
    *out = v;
    return true;
}

// The mode command's two-digit abbreviations stand for the rates they begin.
bool ParseBaud(const std::string& s, DWORD* baud) {
    DWORD v;
    if (!ParseNumber(s, &v) || v == 0)
        return false;
    static const struct {
        DWORD shortForm, rate;
    } kShort[] = {{11, 110},   {15, 150},   {30, 300},   {60, 600},  {12, 1200},
                  {24, 2400},  {48, 4800},  {96, 9600},  {19, 19200}};
    for (const auto& a : kShort) {
        if (v == a.shortForm) {
            *baud = a.rate;
            return true;
        }
    }
    *baud = v;
    return true;
}

bool ParseParity(const std::string& s, BYTE* parity) {
    if (s.size() != 1)
        return false;
    switch (s[0]) {
        case 'n':
            *parity = NOPARITY;
            return true;
        case 'o':
            *parity = ODDPARITY;
            return true;
        case 'e':
            *parity = EVENPARITY;
            return true;
        case 'm':
            *parity = MARKPARITY;
            return true;
        case 's':
            *parity = SPACEPARITY;
            return true;
    }
    return false;
}

bool ParseData(const std::string& s, BYTE* data) {
    if (s.size() != 1 || s[0] < '5' || s[0] > '8')
        return false;
    *data = static_cast<BYTE>(s[0] - '0');
    return true;
}

bool ParseStop(const std::string& s, BYTE* stop) {
    if (s == "1")
        *stop = ONESTOPBIT;
    else if (s == "1.5")
        *stop = ONE5STOPBITS;
    else if (s == "2")
        *stop = TWOSTOPBITS;
    else
        return false;
    return true;
}

bool ParseOnOff(const std::string& s, bool* on) {
    if (s == "on")
        *on = true;
    else if (s == "off")
        *on = false;
    else
        return false;
    return true;
}

void FlowOff(DCB* dcb) {
    dcb->fInX = FALSE;
    dcb->fOutX = FALSE;
    dcb->fOutxCtsFlow = FALSE;
    dcb->fOutxDsrFlow = FALSE;
    dcb->fDtrControl = DTR_CONTROL_ENABLE;
    dcb->fRtsControl = RTS_CONTROL_ENABLE;
}

enum class Timeouts { Unnamed, On, Off };

// The string after the device name, in the older form.
bool ParseOlder(const std::string& text, DCB* dcb) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
        size_t comma = text.find(',', start);
        std::string field = text.substr(start, comma == std::string::npos ? std::string::npos
                                                                          : comma - start);
        // Blanks around a field are the reader's, not the field's.
        while (!field.empty() && std::isspace(static_cast<unsigned char>(field.back())))
            field.pop_back();
        size_t lead = 0;
        while (lead < field.size() && std::isspace(static_cast<unsigned char>(field[lead])))
            ++lead;
        fields.push_back(field.substr(lead));
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    if (fields.size() > 5 || fields[0].empty())
        return false;
    DCB out = *dcb;
    FlowOff(&out);
    bool stopGiven = false;
    if (!ParseBaud(fields[0], &out.BaudRate))
        return false;
    if (fields.size() > 1 && !fields[1].empty()) {
        if (!ParseParity(fields[1], &out.Parity))
            return false;
        out.fParity = out.Parity != NOPARITY;
    }
    if (fields.size() > 2 && !fields[2].empty() && !ParseData(fields[2], &out.ByteSize))
        return false;
    if (fields.size() > 3 && !fields[3].empty()) {
        if (!ParseStop(fields[3], &out.StopBits))
            return false;
        stopGiven = true;
    }
    if (fields.size() > 4 && !fields[4].empty()) {
        if (fields[4] == "x") {
            out.fInX = TRUE;
            out.fOutX = TRUE;
        } else if (fields[4] == "p") {
            out.fOutxCtsFlow = TRUE;
            out.fOutxDsrFlow = TRUE;
            out.fDtrControl = DTR_CONTROL_HANDSHAKE;
            out.fRtsControl = RTS_CONTROL_HANDSHAKE;
        } else {
            return false;
        }
    }
    if (out.BaudRate == 110 && !stopGiven)
        out.StopBits = TWOSTOPBITS;
    *dcb = out;
    return true;
}

bool ParseNewer(const std::string& text, DCB* dcb, Timeouts* timeouts) {
    DCB out = *dcb;
    FlowOff(&out);
    bool stopGiven = false, baudGiven = false;
    *timeouts = Timeouts::Unnamed;
    size_t i = 0;
    while (i < text.size()) {
        if (std::isspace(static_cast<unsigned char>(text[i]))) {
            ++i;
            continue;
        }
        size_t end = i;
        while (end < text.size() && !std::isspace(static_cast<unsigned char>(text[end])))
            ++end;
        const std::string token = text.substr(i, end - i);
        i = end;
        const size_t eq = token.find('=');
        if (eq == std::string::npos || eq == 0)
            return false;
        const std::string key = token.substr(0, eq);
        const std::string value = token.substr(eq + 1);
        bool on = false;
        if (key == "baud") {
            if (!ParseBaud(value, &out.BaudRate))
                return false;
            baudGiven = true;
        } else if (key == "parity") {
            if (!ParseParity(value, &out.Parity))
                return false;
            out.fParity = out.Parity != NOPARITY;
        } else if (key == "data") {
            if (!ParseData(value, &out.ByteSize))
                return false;
        } else if (key == "stop") {
            if (!ParseStop(value, &out.StopBits))
                return false;
            stopGiven = true;
        } else if (key == "to") {
            if (!ParseOnOff(value, &on))
                return false;
            *timeouts = on ? Timeouts::On : Timeouts::Off;
        } else if (key == "xon") {
            if (!ParseOnOff(value, &on))
                return false;
            out.fInX = on;
            out.fOutX = on;
        } else if (key == "odsr") {
            if (!ParseOnOff(value, &on))
                return false;
            out.fOutxDsrFlow = on;
        } else if (key == "octs") {
            if (!ParseOnOff(value, &on))
                return false;
            out.fOutxCtsFlow = on;
        } else if (key == "idsr") {
            if (!ParseOnOff(value, &on))
                return false;
            out.fDsrSensitivity = on;
        } else if (key == "dtr") {
            if (value == "hs")
                out.fDtrControl = DTR_CONTROL_HANDSHAKE;
            else if (ParseOnOff(value, &on))
                out.fDtrControl = on ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
            else
                return false;
        } else if (key == "rts") {
            if (value == "hs")
                out.fRtsControl = RTS_CONTROL_HANDSHAKE;
            else if (value == "tg")
                out.fRtsControl = RTS_CONTROL_TOGGLE;
            else if (ParseOnOff(value, &on))
                out.fRtsControl = on ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
            else
                return false;
        } else {
            return false;
        }
    }
    if (baudGiven && out.BaudRate == 110 && !stopGiven)
        out.StopBits = TWOSTOPBITS;
    *dcb = out;
    return true;
}

BOOL Build(const std::string& definition, LPDCB dcb, LPCOMMTIMEOUTS timeouts) {
    if (!dcb) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::string text = Lower(definition);
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
        ++i;
    // An optional device name: COM and a port number, then an optional colon.
    if (text.compare(i, 3, "com") == 0) {
        size_t digits = i + 3;
        while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits])))
            ++digits;
        DWORD number = 0;
        if (!ParseNumber(text.substr(i + 3, digits - i - 3), &number) || number == 0 ||
            number > 256) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        i = digits;
        if (i < text.size() && text[i] == ':') {
            ++i;
        } else if (i < text.size() && !std::isspace(static_cast<unsigned char>(text[i]))) {
            // Without its colon the name ends at a blank.
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
    }
    const std::string rest = text.substr(i);
    Timeouts wanted = Timeouts::Unnamed;
    bool ok;
    if (rest.find('=') != std::string::npos) {
        ok = rest.find(',') == std::string::npos && ParseNewer(rest, dcb, &wanted);
    } else {
        size_t first = rest.find_first_not_of(" \t\r\n");
        ok = first == std::string::npos ? true : ParseOlder(rest.substr(first), dcb);
    }
    if (!ok) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (timeouts && wanted != Timeouts::Unnamed) {
        std::memset(timeouts, 0, sizeof *timeouts);
        if (wanted == Timeouts::On)
            timeouts->WriteTotalTimeoutConstant = 60000;
    }
    return TRUE;
}

}  // namespace

extern "C" {

BOOL WINAPI BuildCommDCBA(LPCSTR lpDef, LPDCB lpDCB) {
    if (!lpDef) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return Build(lpDef, lpDCB, nullptr);
}

BOOL WINAPI BuildCommDCBW(LPCWSTR lpDef, LPDCB lpDCB) {
    if (!lpDef) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return Build(Narrow(lpDef), lpDCB, nullptr);
}

BOOL WINAPI BuildCommDCBAndTimeoutsA(LPCSTR lpDef, LPDCB lpDCB, LPCOMMTIMEOUTS lpCommTimeouts) {
    if (!lpDef) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return Build(lpDef, lpDCB, lpCommTimeouts);
}

BOOL WINAPI BuildCommDCBAndTimeoutsW(LPCWSTR lpDef, LPDCB lpDCB, LPCOMMTIMEOUTS lpCommTimeouts) {
    if (!lpDef) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return Build(Narrow(lpDef), lpDCB, lpCommTimeouts);
}

}  // extern "C"
