# Cross build of the shipped 32-bit Windows deliverables with mingw-w64 (posix thread model).
set(CMAKE_SYSTEM_PROCESSOR i686)
set(QOR_MINGW_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-toolchain-common.cmake)
