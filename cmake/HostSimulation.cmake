# Host build: the driver sources against the simulator's stand-in headers, the
# simulated platform, the tools, the tests and the benchmarks.
# C too: Win32 programs and the tests of their headers may be written in C.
enable_language(C)
option(VODREK_SANITIZE "build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
# The fuzz build (clang, libFuzzer): the driver instrumented for coverage, the
# simulator and the workbench, and the fuzz targets; no tools, tests or benchmarks.
option(VODREK_FUZZ "build only the fuzz targets (clang with libFuzzer)" OFF)
set(VODREK_IMAGE_X64 "${CMAKE_SOURCE_DIR}/build/win-x64/${VODREK_IMAGE_X64_NAME}.sys" CACHE FILEPATH
    "x64 image checked by the image tests")
set(VODREK_IMAGE_X86 "${CMAKE_SOURCE_DIR}/build/win-x86/${VODREK_IMAGE_X86_NAME}.sys" CACHE FILEPATH
    "i386 image checked by the image tests")

if(VODREK_SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined
                        -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
endif()
if(VODREK_FUZZ)
    if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
        message(FATAL_ERROR "the fuzz build needs clang (libFuzzer)")
    endif()
endif()

# Programs export their symbols, so the verifier can name the code it reports on.
add_link_options(-rdynamic)

# Line and branch coverage of the driver folders (./build.sh coverage): only the
# driver's sources are instrumented; every program links the gcov runtime.
option(VODREK_COVERAGE "instrument the driver sources for gcov" OFF)
if(VODREK_COVERAGE)
    add_link_options(--coverage)
endif()

add_library(vodrek_driver STATIC ${VODREK_DRIVER_SOURCES})
# The test build reports every routine the driver enters, so the simulator can
# check the pageable ones against the IRQL and the section lock.
if(VODREK_SANITIZE)
    target_compile_options(vodrek_driver PRIVATE -finstrument-functions)
endif()
target_include_directories(vodrek_driver PUBLIC ${CMAKE_SOURCE_DIR}
                           ${CMAKE_SOURCE_DIR}/sim/kernel/include)
target_compile_definitions(vodrek_driver PUBLIC ${VODREK_KERNEL_DEFINES})
target_compile_options(vodrek_driver PRIVATE ${VODREK_KERNEL_CXX_FLAGS})
# Line information in every build (it changes no code): the benchmarks' callgrind
# counts tell the driver's own instructions from the simulated kernel's by source file.
target_compile_options(vodrek_driver PRIVATE -g)
if(VODREK_COVERAGE)
    target_compile_options(vodrek_driver PRIVATE --coverage)
endif()
if(VODREK_FUZZ)
    # Coverage feedback from the driver only: the simulator runs far more code
    # per input than the driver, and its edges would drown the driver's (and
    # slow every execution). The fuzzer's own main is linked into the fuzz
    # program only.
    target_compile_options(vodrek_driver PRIVATE -fsanitize=fuzzer-no-link)
endif()

add_subdirectory(sim)

if(VODREK_FUZZ)
    enable_testing()
    add_subdirectory(fuzz)
    return()
endif()

include(CTest)
# GoogleTest from its sources (the 32-bit build: the machine's libraries are
# 64-bit ones), or the installed libraries.
set(VODREK_GTEST_SOURCE "" CACHE PATH "GoogleTest sources to build instead of the installed libraries")
if(BUILD_TESTING)
    if(VODREK_GTEST_SOURCE)
        set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
        # It defines the GTest:: targets the installed package would.
        add_subdirectory(${VODREK_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
    else()
        find_package(GTest REQUIRED)
    endif()
    include(GoogleTest)
    add_subdirectory(tests)
    add_subdirectory(fuzz)
endif()

find_package(benchmark QUIET)
if(benchmark_FOUND)
    add_subdirectory(bench)
endif()
