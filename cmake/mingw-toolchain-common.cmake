# What both mingw-w64 cross toolchains share; the including file sets
# VODREK_MINGW_TRIPLE and CMAKE_SYSTEM_PROCESSOR first.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${VODREK_MINGW_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${VODREK_MINGW_TRIPLE}-g++)
set(CMAKE_RC_COMPILER ${VODREK_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${VODREK_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# A kernel image cannot be linked as a console program, so CMake's compiler probe
# only builds a static library.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
