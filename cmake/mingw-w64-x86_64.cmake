# Cross-builds the library for 64-bit Windows with Debian's mingw-w64 (g++-mingw-w64-x86-64-posix:
# the POSIX thread model, which std::thread and std::mutex need). Programs built this way run
# under Wine: CMAKE_CROSSCOMPILING_EMULATOR makes ctest and test discovery start them with it.
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(QEL_MINGW_TRIPLE x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${QEL_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QEL_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${QEL_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${QEL_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The GCC runtime and winpthread linked in, so that the DLL and the programs need no DLL beyond
# Windows' own.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")

# Wine runs the test programs: scripts/wine-run.sh keeps a prefix of its own and no display.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh)
