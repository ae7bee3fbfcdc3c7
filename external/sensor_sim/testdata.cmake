# qor_testdata: the portable generator of calibration images and raw phantom frames, used by
# tests, benchmarks, fuzz seeds, qorctl and the simulated sensor. Compiles in both builds.
add_library(qor_testdata STATIC
  ${CMAKE_CURRENT_LIST_DIR}/core/test_data.cpp
  ${CMAKE_CURRENT_LIST_DIR}/core/test_data_phantom.cpp
  ${CMAKE_CURRENT_LIST_DIR}/core/test_data_raw.cpp)
target_include_directories(qor_testdata PUBLIC ${PROJECT_SOURCE_DIR})
find_package(Threads REQUIRED)
target_link_libraries(qor_testdata PRIVATE Threads::Threads)
qor_warnings(qor_testdata)
