// Port settings and their defaults.
#include "control/control.h"

void WriteDefaultSettings(PortExtension* port) {}
