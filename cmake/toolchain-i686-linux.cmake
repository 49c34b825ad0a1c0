# The simulator, the host-built driver and the tests as a 32-bit Linux program
# (gcc multilib), to load and run the i386 image. The programs run under the
# i386 user-mode emulator when the machine's kernel does not run 32-bit
# programs itself (VODREK_I386_EMULATOR, empty to run them directly).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT "-m32")
set(CMAKE_CXX_FLAGS_INIT "-m32")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
# 32-bit libraries only: the machine's 64-bit GoogleTest and benchmark libraries
# must not be picked up.
set(CMAKE_IGNORE_PATH /usr/lib/x86_64-linux-gnu /usr/lib/x86_64-linux-gnu/cmake)
set(VODREK_I386_EMULATOR "qemu-i386" CACHE STRING "how 32-bit programs are run (empty: directly)")
if(VODREK_I386_EMULATOR)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${VODREK_I386_EMULATOR})
endif()
