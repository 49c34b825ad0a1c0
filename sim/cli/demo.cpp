// vodrek-sim demo: a guided tour of what runs today.
#include <cstdio>

#include "cli.h"

namespace cli {

int CommandDemo(const Options&) {
    std::printf("== vodrek on the simulated platform ==\n\n");
    std::printf("-- 1. Driver entry, with an ExtBaudrate value in the service key\n\n");
    CommandEntry(Options{{"--ext-baudrate", "921600,921600 460800,2147484264"}});
    for (int variant : {0, 4}) {
        std::printf("\n-- %d. An adapter with chip variant %d is plugged in and started\n\n", variant == 0 ? 2 : 3,
                    variant);
        std::string chip = std::to_string(variant);
        if (int status = CommandProbe(Options{{"--chip", chip}})) return status;
    }
    return 0;
}

}  // namespace cli
