# QOR APP's two small dialogs (Windows build): ConfirmBox and the about box (dialog resource 100
# in resources/about_box.rc, which the program's .rc includes), and their tests under Wine.
if(WIN32)
  add_library(qor_confirm_box STATIC ${CMAKE_CURRENT_LIST_DIR}/confirm_box.cpp)
  target_include_directories(qor_confirm_box PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(qor_confirm_box PUBLIC user32 gdi32)
  qor_warnings(qor_confirm_box)

  if(TARGET qor_language)
    add_library(qor_about_box STATIC ${CMAKE_CURRENT_LIST_DIR}/about_box.cpp)
    target_include_directories(qor_about_box PUBLIC ${PROJECT_SOURCE_DIR})
    target_link_libraries(qor_about_box PUBLIC qor_language user32 version)
    qor_warnings(qor_about_box)

    if(QOR_TESTS)
      set(dialog_tests_dir ${CMAKE_CURRENT_LIST_DIR}/tests/dialogs)
      qor_add_gtest(dialog_tests SOURCES ${dialog_tests_dir}/dialog_tests.cpp
        ${dialog_tests_dir}/dialog_tests.rc LIBS qor_confirm_box qor_about_box qor_test_ui)
      target_include_directories(dialog_tests PRIVATE ${PROJECT_SOURCE_DIR}
        ${CMAKE_CURRENT_LIST_DIR}/resources ${QOR_APP_ICON_DIR})
      set_source_files_properties(${dialog_tests_dir}/dialog_tests.rc PROPERTIES OBJECT_DEPENDS
        "${QOR_APP_ICON_FILES};${CMAKE_CURRENT_LIST_DIR}/resources/about_box.rc;${CMAKE_CURRENT_LIST_DIR}/resources/strings_en.rc")
      add_dependencies(dialog_tests qor_icon_files german french)
    endif()
  endif()
endif()
