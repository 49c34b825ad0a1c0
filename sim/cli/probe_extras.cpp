// The optional parts of vodrek-sim probe.
#include "probe.h"

namespace cli {

void RunProbeExtras(const Options&, sim::Adapter&, Json&) {}

void PrintProbeExtras(const Json&) {}

}  // namespace cli
