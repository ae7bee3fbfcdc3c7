# The image store: its portable core (both builds) and CImageQueue over disk files and the
# Orbel library (Windows build), with their tests.
add_subdirectory(${CMAKE_CURRENT_LIST_DIR}/core ${CMAKE_CURRENT_BINARY_DIR}/core)
if(WIN32)
  add_library(qor_image_queue STATIC ${CMAKE_CURRENT_LIST_DIR}/image_queue.cpp
    ${CMAKE_CURRENT_LIST_DIR}/disk_store_medium.cpp ${CMAKE_CURRENT_LIST_DIR}/fault_point.cpp)
  target_include_directories(qor_image_queue PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(qor_image_queue PUBLIC qor_app_core qor_suite_key Orbel)
  qor_warnings(qor_image_queue)
  if(QOR_TESTS)
    add_subdirectory(${CMAKE_CURRENT_LIST_DIR}/tests/store ${CMAKE_CURRENT_BINARY_DIR}/tests/store)
  endif()
else()
  add_subdirectory(${CMAKE_CURRENT_LIST_DIR}/tests/core ${CMAKE_CURRENT_BINARY_DIR}/tests/core)
endif()
