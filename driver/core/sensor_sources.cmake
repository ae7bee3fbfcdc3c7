# Sensor protocol sources of qor_driver_core (device table, transport, calibration cache,
# polled acquisition), included by driver/core/CMakeLists.txt.
set(QOR_SENSOR_CORE_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/acquisition.cpp
  ${CMAKE_CURRENT_LIST_DIR}/calibration_cache.cpp
  ${CMAKE_CURRENT_LIST_DIR}/device_table.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sensor_transport.cpp)
