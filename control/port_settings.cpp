// The port settings the device controls keep, and their defaults.
#include "control/control.h"

void WriteDefaultSettings(PortExtension* port) {
    port->CurrentBaud = 0;
    port->HandFlow.ControlHandShake = SERIAL_DTR_CONTROL;
    port->HandFlow.FlowReplace = SERIAL_RTS_CONTROL;
    port->HandFlow.XonLimit = static_cast<LONG>(port->ReceiveBufferSize / 2);
    port->HandFlow.XoffLimit = static_cast<LONG>(port->ReceiveBufferSize / 8);
    // Only the flow-control characters have defaults; the others keep what they had.
    port->SpecialChars.XonChar = 0x11;
    port->SpecialChars.XoffChar = 0x13;
    port->LineControl = 0x1A;  // 7 data bits, even parity, 1 stop bit
    port->ValidDataMask = 0x7F;
    port->SettableBaud = 0x10067FF9;
    port->DeviceIsOpen = 0;
    port->RxFifoSetting = 0;
    port->TxFifoSetting = 1;
}
