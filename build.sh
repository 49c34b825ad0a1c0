#!/usr/bin/env bash
# Builds everything (the simulator and tools, the tests, both driver images) and
# then runs the demo or the test suite.
#
#   ./build.sh demo [vodrek-sim arguments...]   build, then run the demo
#   ./build.sh test                            build, then run every test (the
#                                              fuzz smoke runs included)
#   ./build.sh build                           only build
#   ./build.sh fuzz [seconds] [target...]      fuzzing campaign: every target
#                                              for `seconds` (300), two at a time
#
# Missing Debian packages are installed with apt-get (as root).
set -euo pipefail
cd "$(dirname "$0")"

packages=(cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev
          g++-mingw-w64-x86-64 g++-mingw-w64-i686 mingw-w64-x86-64-dev
          mingw-w64-i686-dev tshark)
what="${1:-build}"
# The fuzz build is clang's (libFuzzer and its sanitizers' runtime).
case "$what" in
    test|fuzz) packages+=(clang-14 libclang-rt-14-dev) ;;
esac
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "== installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

shift || true

build_preset() {
    echo "== $1"
    cmake --preset "$1" >/dev/null
    cmake --build --preset "$1"
}

if [ "$what" != fuzz ]; then
    build_preset win-x64
    build_preset win-x86
fi
case "$what" in
    demo)
        build_preset host-release
        echo "== demo"
        exec build/host-release/sim/cli/vodrek-sim "${@:-demo}"
        ;;
    test)
        # The release build is the demo's and the benchmarks': it must build too.
        build_preset host-release
        build_preset host-debug
        build_preset host-fuzz
        echo "== tests"
        status=0
        ctest --preset host-debug || status=$?
        echo "== fuzz smoke runs"
        ctest --preset host-fuzz || status=$?
        exit $status
        ;;
    fuzz)
        build_preset host-fuzz
        exec fuzz/campaign.sh build/host-fuzz "$@"
        ;;
    build)
        build_preset host-debug
        build_preset host-release
        ;;
    *)
        echo "usage: $0 demo|test|build|fuzz" >&2
        exit 2
        ;;
esac
