# The cross build for Windows with the posix-thread mingw-w64 compilers (the
# win32-thread ones lack std::mutex, which GoogleTest needs), for the target
# named by TOBRINE_MINGW_TARGET (i686 or x86_64). Included by the two toolchain
# files.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${TOBRINE_MINGW_TARGET})
set(CMAKE_C_COMPILER   ${TOBRINE_MINGW_TARGET}-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER ${TOBRINE_MINGW_TARGET}-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER  ${TOBRINE_MINGW_TARGET}-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${TOBRINE_MINGW_TARGET}-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Fully static: no mingw DLLs beside the exe.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
