# Cross build for 64-bit Windows with Debian's mingw-w64. The -posix
# compilers use winpthreads, on which std::thread and std::mutex rest.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ZUL_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${ZUL_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZUL_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${ZUL_MINGW_TRIPLET}-windres)

# Libraries and packages come from the target's tree only, never the host's.
set(CMAKE_FIND_ROOT_PATH /usr/${ZUL_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The C++ runtime and winpthreads linked in: each .exe stands alone.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# CTest runs the Windows test programs under Wine, in whatever WINEPREFIX
# the caller has set.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
