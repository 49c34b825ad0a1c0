// The fuzz program: one binary, five targets. The target is the part of the
// program's name after "vodrek-fuzz-" (the build makes a link per target), or
// the first argument `--target=NAME`, which the program takes out before
// libFuzzer reads its options.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <sim/pool.h>

#include "fuzz/fuzz_session.h"

namespace {

const fuzz::Target kTargets[] = {
    {"controls", fuzz::RunControls}, {"internal", fuzz::RunInternal}, {"device", fuzz::RunDevice},
    {"registry", fuzz::RunRegistry}, {"pnp", fuzz::RunPnp},
};

const fuzz::Target* g_target = nullptr;

const fuzz::Target* Find(const std::string& name) {
    for (const fuzz::Target& t : kTargets)
        if (name == t.name) return &t;
    return nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    std::string program = (*argv)[0];
    const size_t slash = program.rfind('/');
    if (slash != std::string::npos) program = program.substr(slash + 1);
    const std::string prefix = "vodrek-fuzz-";
    if (program.compare(0, prefix.size(), prefix) == 0) g_target = Find(program.substr(prefix.size()));
    if (!g_target && *argc > 1 && std::strncmp((*argv)[1], "--target=", 9) == 0) {
        g_target = Find((*argv)[1] + 9);
        for (int i = 1; i + 1 < *argc; ++i) (*argv)[i] = (*argv)[i + 1];
        --*argc;
    }
    if (!g_target) {
        std::fprintf(stderr, "usage: vodrek-fuzz-TARGET [libFuzzer options] [corpus...]\n"
                             "   or: vodrek-fuzz --target=TARGET [libFuzzer options] [corpus...]\n"
                             "targets:");
        for (const fuzz::Target& t : kTargets) std::fprintf(stderr, " %s", t.name);
        std::fprintf(stderr, "\n");
        std::exit(2);
    }
    // An input may ask for a ring of hundreds of megabytes; filling all of it
    // with the pool's patterns as it is allocated and freed would cost more
    // than everything else the input does. The sanitizer poisons freed blocks
    // whole, and bytes read before they were written are the test suite's to
    // find.
    sim::LimitPoolFills(64 * 1024);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return g_target->run(data, size);
}
