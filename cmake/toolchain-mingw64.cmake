# Cross-build for 64-bit Windows with Debian's MinGW-w64 (g++-mingw-w64-x86-64-posix).
# The posix variant: its libstdc++ has std::thread, std::mutex and std::condition_variable.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(RT88H_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${RT88H_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${RT88H_MINGW_TRIPLE}-g++-posix)
set(CMAKE_ASM_COMPILER ${RT88H_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_RC_COMPILER ${RT88H_MINGW_TRIPLE}-windres)

# Libraries and headers from the MinGW tree only; build-time programs from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${RT88H_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# libstdc++, libgcc and winpthread linked in: each .exe runs without MinGW DLLs beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")

# Build-time generators, test discovery and CTest run the .exe files under Wine.
if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run")
endif()
