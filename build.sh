#!/usr/bin/env bash
# Builds everything (the simulator and tools, the tests, both driver images) and
# then runs the demo or the test suite.
#
#   ./build.sh demo [vodrek-sim arguments...]   build, then run the demo
#   ./build.sh test                            build, then run every test (the
#                                              fuzz targets' smoke runs included)
#   ./build.sh bench [vodrek_bench arguments]  release build, then every benchmark:
#                                              tables, build/bench/results.json, plots
#   ./build.sh build                           only build
#   ./build.sh schedules [seeds] [jobs]         the `schedules` tests under many PCT
#                                              seeds per test, in parallel
#                                              (tests/schedules_campaign.sh)
#   ./build.sh coverage                        line and branch coverage of the
#                                              driver folders by the whole suite,
#                                              text and HTML in build/coverage/
#   ./build.sh fuzz [seconds] [target...]      fuzzing campaign: every target
#                                              for `seconds` (300), two at a time
#   ./build.sh i386                            the 32-bit simulator (gcc -m32,
#                                              under qemu-i386) on the i386 image:
#                                              the `image` tests and the loader's checks
#
# Missing Debian packages are installed with apt-get (as root).
set -euo pipefail
cd "$(dirname "$0")"

packages=(cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev
          g++-mingw-w64-x86-64 g++-mingw-w64-i686 mingw-w64-x86-64-dev
          mingw-w64-i686-dev tshark openssl osslsigncode)
what="${1:-build}"
case "$what" in
    # The fuzz build is clang's (libFuzzer and its sanitizers' runtime). The
    # test run's smoke runs of the fuzz targets use the test build's own runner.
    fuzz) packages+=(clang-14 libclang-rt-14-dev) ;;
    # The benchmarks count instructions with callgrind and plot with gnuplot.
    bench) packages+=(valgrind gnuplot-nox) ;;
    # The 32-bit build: gcc's multilib, GoogleTest's sources, and the i386
    # user-mode emulator for kernels that do not run 32-bit programs.
    i386) packages+=(g++-multilib googletest qemu-user) ;;
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

# build_preset PRESET [TARGET...]: configure and build the preset (only the
# named targets, if any).
build_preset() {
    echo "== $1"
    cmake --preset "$1" >/dev/null
    if [ $# -gt 1 ]; then
        cmake --build --preset "$1" --target "${@:2}"
    else
        cmake --build --preset "$1"
    fi
}

# The benchmarks need only the host's release build, fuzzing only its own.
if [ "$what" != bench ] && [ "$what" != fuzz ]; then
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
        # The release build is the demo's and the benchmarks': they must build
        # too (the tests themselves run in the debug build, with sanitizers).
        build_preset host-release vodrek-sim vodrek_bench
        build_preset host-debug
        echo "== tests"
        exec ctest --preset host-debug
        ;;
    fuzz)
        build_preset host-fuzz
        exec fuzz/campaign.sh build/host-fuzz "$@"
        ;;
    bench)
        build_preset host-release
        echo "== benchmarks"
        build/host-release/bench/vodrek_bench --out build/bench "$@"
        if command -v gnuplot >/dev/null && [ -f build/bench/throughput.dat ]; then
            gnuplot -e "dir='build/bench'" bench/throughput.gp
            echo "plots: build/bench/throughput.png, build/bench/throughput_ratio.png"
        fi
        ;;
    build)
        build_preset host-debug
        build_preset host-release
        ;;
    schedules)
        build_preset host-debug
        exec tests/schedules_campaign.sh "$@"
        ;;
    coverage)
        if ! command -v gcovr >/dev/null; then
            export DEBIAN_FRONTEND=noninteractive
            apt-get update -q
            apt-get install -y -q --no-install-recommends gcovr
        fi
        build_preset host-coverage
        find build/host-coverage -name '*.gcda' -delete
        echo "== tests (coverage)"
        ctest --preset host-coverage || echo "== some tests failed: the figures below are still the suite's"
        rm -rf build/coverage
        mkdir -p build/coverage
        filters=(--root . --object-directory build/host-coverage
                 --filter 'driver/' --filter 'control/' --filter 'datapath/' --filter 'usb/'
                 --exclude-unreachable-branches)
        gcovr "${filters[@]}" --txt build/coverage/lines.txt --html-details build/coverage/index.html
        gcovr "${filters[@]}" --branches --txt build/coverage/branches.txt
        gcovr "${filters[@]}" --print-summary --txt /dev/null | tail -3
        echo "== build/coverage/lines.txt, branches.txt, index.html"
        ;;
    i386)
        build_preset host-x86
        echo "== i386: the loader's checks and the image tests on vodrek.sys"
        exec ctest --preset host-x86 -R '^image\.|^(ImageLoader|Vodrek/DriverImage|PeImage)' "$@"
        ;;
    *)
        echo "usage: $0 demo|test|bench|build|schedules|coverage|fuzz|i386" >&2
        exit 2
        ;;
esac
