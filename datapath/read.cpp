// The read path.
#include "datapath/datapath.h"

void InitializeReceiveDefaults(PortExtension* port) {
    port->ShortPollDelay = -1;
    port->LongPollDelay = -10000000;  // 1 s
    port->PollCutover = 200000000;    // 20 s
    const ULONG size = port->ReceiveBufferSize;
    port->NearlyFullMark = size / 4 * 3 + size / 16;
}
