# "QOR APP.exe": the controller (a library, so the UI tests can run it in their own process) and
# the program around it with its resources.
if(WIN32)
  set(qor_app_dir ${CMAKE_CURRENT_LIST_DIR})
  add_library(qor_app_controller STATIC
    ${qor_app_dir}/qor_app.cpp
    ${qor_app_dir}/acquisition_thread.cpp
    ${qor_app_dir}/system_tray.cpp
    ${qor_app_dir}/image_view.cpp)
  target_include_directories(qor_app_controller PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(qor_app_controller PUBLIC qor_app_binding qor_image_queue qor_named_pipe
    shell32 comctl32 user32 gdi32)
  # Pieces that other folders build as libraries of their own once they have them.
  foreach(piece qor_language:${PROJECT_SOURCE_DIR}/common/language.cpp
                qor_pipe_server:${qor_app_dir}/pipe_server.cpp
                qor_confirm_box:${qor_app_dir}/confirm_box.cpp
                qor_about_box:${qor_app_dir}/about_box.cpp)
    string(REPLACE ":" ";" piece ${piece})
    list(GET piece 0 piece_target)
    list(GET piece 1 piece_source)
    if(TARGET ${piece_target})
      target_link_libraries(qor_app_controller PUBLIC ${piece_target})
    elseif(EXISTS ${piece_source})
      target_sources(qor_app_controller PRIVATE ${piece_source})
    endif()
  endforeach()
  qor_warnings(qor_app_controller)

  add_executable(qor_app WIN32 ${qor_app_dir}/main.cpp ${qor_app_dir}/resources/app.rc)
  set_target_properties(qor_app PROPERTIES OUTPUT_NAME "QOR APP")
  target_link_libraries(qor_app PRIVATE qor_app_controller)
  target_link_options(qor_app PRIVATE -municode)
  target_include_directories(qor_app PRIVATE ${qor_app_dir}/resources ${QOR_APP_ICON_DIR})
  set_source_files_properties(${qor_app_dir}/resources/app.rc PROPERTIES OBJECT_DEPENDS
    "${QOR_APP_ICON_FILES};${qor_app_dir}/resources/strings_en.rc;${qor_app_dir}/resources/image_view.rc;${qor_app_dir}/resources/app_resource.h")
  add_dependencies(qor_app qor_icon_files)
  qor_warnings(qor_app)
  # What the program loads at run time, built with it.
  foreach(runtime Qor qorimg QorIcons Orbel german french)
    if(TARGET ${runtime})
      add_dependencies(qor_app ${runtime})
    endif()
  endforeach()

  if(QOR_TESTS AND EXISTS ${qor_app_dir}/tests/ui/CMakeLists.txt)
    add_subdirectory(${qor_app_dir}/tests/ui ${CMAKE_CURRENT_BINARY_DIR}/tests/ui)
  endif()
  if(QOR_TESTS)
    add_subdirectory(${qor_app_dir}/tests/safety ${CMAKE_CURRENT_BINARY_DIR}/tests/safety)
  endif()
  if(QOR_TESTS AND EXISTS ${qor_app_dir}/tests/preview/CMakeLists.txt)
    add_subdirectory(${qor_app_dir}/tests/preview ${CMAKE_CURRENT_BINARY_DIR}/tests/preview)
  endif()
endif()
