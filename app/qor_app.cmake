# "QOR APP.exe": the controller (a library, so the UI tests can run it in their own process) and
# the program around it with its resources.
if(WIN32)
  set(qor_app_dir ${CMAKE_CURRENT_LIST_DIR})
  add_library(qor_app_controller STATIC
    ${qor_app_dir}/qor_app.cpp
    ${qor_app_dir}/acquisition_thread.cpp
    ${qor_app_dir}/new_image_record.cpp
    ${qor_app_dir}/new_image_event.cpp
    ${qor_app_dir}/test_image_file.cpp
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

  # The program around a controller library, with its resources.
  function(qor_app_program target controller)
    add_executable(${target} WIN32 ${qor_app_dir}/main.cpp ${qor_app_dir}/resources/app.rc)
    set_target_properties(${target} PROPERTIES OUTPUT_NAME "QOR APP")
    target_link_libraries(${target} PRIVATE ${controller})
    target_link_options(${target} PRIVATE -municode)
    target_include_directories(${target} PRIVATE ${qor_app_dir}/resources ${QOR_APP_ICON_DIR})
    add_dependencies(${target} qor_icon_files)
    qor_warnings(${target})
    # What the program loads at run time, built with it.
    foreach(runtime Qor qorimg QorIcons Orbel german french)
      if(TARGET ${runtime})
        add_dependencies(${target} ${runtime})
      endif()
    endforeach()
  endfunction()
  set_source_files_properties(${qor_app_dir}/resources/app.rc PROPERTIES OBJECT_DEPENDS
    "${QOR_APP_ICON_FILES};${qor_app_dir}/resources/strings_en.rc;${qor_app_dir}/resources/image_view.rc;${qor_app_dir}/resources/app_resource.h;${qor_app_dir}/resources/qor_app.manifest")

  # What ships: no fault points (app/fault_point.h).
  qor_app_program(qor_app qor_app_controller)

  # The test build: the same program with its fault points (QOR_TEST_HOOKS), in a folder of its
  # own that the installation medium never takes from. Only the libraries whose code differs are
  # built twice: the store, the pipe server and the controller that links them.
  if(QOR_TESTS)
    # <target>_test_hooks: the static library `target` built again with QOR_TEST_HOOKS, linking
    # the test-hooks twins of its libraries where they exist.
    function(qor_test_hooks_twin target)
      set(twin ${target}_test_hooks)
      get_target_property(source_dir ${target} SOURCE_DIR)
      get_target_property(sources ${target} SOURCES)
      set(absolute_sources)
      foreach(source IN LISTS sources)
        cmake_path(ABSOLUTE_PATH source BASE_DIRECTORY ${source_dir})
        list(APPEND absolute_sources ${source})
      endforeach()
      add_library(${twin} STATIC ${absolute_sources})
      foreach(property INCLUDE_DIRECTORIES INTERFACE_INCLUDE_DIRECTORIES COMPILE_DEFINITIONS
                       INTERFACE_COMPILE_DEFINITIONS COMPILE_OPTIONS)
        get_target_property(value ${target} ${property})
        if(value)
          set_property(TARGET ${twin} PROPERTY ${property} ${value})
        endif()
      endforeach()
      target_compile_definitions(${twin} PUBLIC QOR_TEST_HOOKS)
      get_target_property(libraries ${target} LINK_LIBRARIES)
      foreach(library IN LISTS libraries)
        if(TARGET ${library}_test_hooks)
          set(library ${library}_test_hooks)
        endif()
        target_link_libraries(${twin} PUBLIC ${library})
      endforeach()
    endfunction()
    foreach(library qor_image_queue qor_pipe_server qor_app_controller)
      if(TARGET ${library})
        qor_test_hooks_twin(${library})
      endif()
    endforeach()
    qor_app_program(qor_app_test_hooks qor_app_controller_test_hooks)
    set_target_properties(qor_app_test_hooks PROPERTIES
      RUNTIME_OUTPUT_DIRECTORY ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/test-hooks)
    # The shipped program must not obey QOR_FAULT_POINT; the test build must (else the check
    # would be blind).
    add_test(NAME qor_app_has_no_test_hooks
      COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/check-no-test-hooks.sh
              $<TARGET_FILE:qor_app_test_hooks> $<TARGET_FILE:qor_app>)
    set_tests_properties(qor_app_has_no_test_hooks PROPERTIES LABELS build-machine)
  endif()

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
