// Device controls and the port settings they keep: the operations other folders
// call.
#pragma once

#include "driver/port_extension.h"

DRIVER_DISPATCH DispatchDeviceControl;

// Gives the port settings the values every start writes.
void WriteDefaultSettings(PortExtension* port);
