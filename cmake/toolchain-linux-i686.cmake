# 32-bit Linux build of the portable cores, their tests and qorctl's offline commands, with the
# floating-point flags of the shipped 32-bit deliverables. This kind of machine cannot execute
# 32-bit code itself: CTest runs the static programs under qemu-i386-static, which executes them
# faithfully, to show that the 32-bit ABI and pointer width change no result.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT "-m32 -msse2 -mfpmath=sse")
set(CMAKE_CXX_FLAGS_INIT "-m32 -msse2 -mfpmath=sse")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32 -static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
# Only 32-bit libraries: GoogleTest is compiled from its sources, Google Benchmark is left out.
set(CMAKE_IGNORE_PREFIX_PATH /usr/lib/x86_64-linux-gnu/cmake)
set(QOR_GTEST_FROM_SOURCE ON)
set(QOR_NO_BENCHMARKS ON)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-i386-static)
