#!/usr/bin/env bash
# Builds everything (the simulator and tools, the tests, both driver images) and
# then runs the demo or the test suite.
#
#   ./build.sh demo [vodrek-sim arguments...]   build, then run the demo
#   ./build.sh test                            build, then run every test
#   ./build.sh build                           only build
#
# Missing Debian packages are installed with apt-get (as root).
set -euo pipefail
cd "$(dirname "$0")"

packages=(cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev
          g++-mingw-w64-x86-64 g++-mingw-w64-i686 mingw-w64-x86-64-dev
          mingw-w64-i686-dev tshark openssl osslsigncode)
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

what="${1:-build}"
shift || true

build_preset() {
    echo "== $1"
    cmake --preset "$1" >/dev/null
    cmake --build --preset "$1"
}

build_preset win-x64
build_preset win-x86
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
        echo "== tests"
        exec ctest --preset host-debug
        ;;
    build)
        build_preset host-debug
        build_preset host-release
        ;;
    *)
        echo "usage: $0 demo|test|build" >&2
        exit 2
        ;;
esac
