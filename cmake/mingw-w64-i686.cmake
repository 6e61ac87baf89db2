# Cross build for Windows i686: the release build.
set(TOBRINE_MINGW_TARGET i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
