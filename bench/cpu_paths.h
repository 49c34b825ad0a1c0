// CPU per byte of the driver's receive and transmit paths in the release build:
// instructions counted with callgrind (this program run again under valgrind)
// and wall time with Google Benchmark, each as a ratio to a plain byte-copy
// loop measured in the same run.
#pragma once

#include <cstdint>
#include <string>

#include "results.h"

namespace bench {

void CpuPerByte(bool quick, const std::string& self, const std::string& outDir, Results& results);

// The program's part under callgrind: `mode` "receive" or "transmit" moves
// `bytes` through the path, then the copy loop copies as many. Answers the exit
// status.
int CallgrindChild(const std::string& mode, uint64_t bytes);

}  // namespace bench
