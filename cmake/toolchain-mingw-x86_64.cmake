# Cross build of the deliverables as 64-bit Windows programs: the build the Wine tests run, because
# this machine cannot execute the 32-bit Wine loader. Same sources, same compiler flags.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(QOR_MINGW_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-toolchain-common.cmake)
