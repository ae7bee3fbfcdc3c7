# Test, benchmark and fuzz target helpers for both builds.
#
#   qor_add_gtest(name [PORTABLE] SOURCES a.cpp ... LIBS lib ...)
#                                                          one CTest test per executable; in the
#                                                          Windows build CTest runs it under Wine.
#                                                          PORTABLE: it tests only the portable
#                                                          cores (label "portable")
#   qor_add_benchmark(name SOURCES ... LIBS ...)           native build only (Google Benchmark)
#   qor_add_fuzzer(name SOURCES ... LIBS ...)              QOR_FUZZ builds only (QorFuzzing.cmake)

option(QOR_TESTS "Build the test executables" ON)

if(NOT QOR_TESTS)
  # A deliverables-only build (the shipped i686 build, which cannot run here).
elseif(WIN32 OR QOR_GTEST_FROM_SOURCE)
  # GoogleTest from Debian's source package, compiled with the mingw toolchain (or for the
  # 32-bit Linux build, which has no 32-bit GoogleTest library to link).
  set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  set(QOR_GTEST_LIBS gtest gtest_main gmock)
else()
  find_package(GTest REQUIRED)
  set(QOR_GTEST_LIBS GTest::gtest GTest::gtest_main GTest::gmock)
  find_package(benchmark QUIET)
endif()

function(qor_add_gtest name)
  cmake_parse_arguments(ARG "PORTABLE" "" "SOURCES;LIBS" ${ARGN})
  if(NOT QOR_TESTS)
    return()
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} ${QOR_GTEST_LIBS})
  qor_warnings(${name})
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES TIMEOUT 600)
  if(ARG_PORTABLE)
    set_tests_properties(${name} PROPERTIES LABELS portable)
  endif()
endfunction()

function(qor_add_benchmark name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  if(WIN32 OR NOT benchmark_FOUND OR QOR_SANITIZE OR QOR_FUZZ OR QOR_NO_BENCHMARKS)
    return()
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} benchmark::benchmark benchmark::benchmark_main)
  qor_warnings(${name})
endfunction()

include(QorFuzzing)
