// The optional parts of vodrek-sim probe.
#include "probe.h"

namespace cli {

void RunProbeExtras(const Options& options, sim::Adapter& adapter, Json& out) {
    RunSleepWake(options, adapter, out);
    RunWmi(options, adapter, out);
}

void PrintProbeExtras(const Json&) {
    PrintSleepWake();
    PrintWmi();
}

}  // namespace cli
