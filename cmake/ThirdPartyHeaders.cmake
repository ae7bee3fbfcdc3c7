# Header-only libraries from Debian serve both builds. For the Windows build only their own
# folders are copied into the build tree: /usr/include on the mingw include path would shadow
# mingw's C library headers with glibc's.
set(QOR_THIRD_PARTY_INCLUDE ${CMAKE_BINARY_DIR}/third_party/include)
file(MAKE_DIRECTORY ${QOR_THIRD_PARTY_INCLUDE})
if(WIN32)
  foreach(dir CLI nlohmann)
    if(EXISTS /usr/include/${dir})
      file(COPY /usr/include/${dir} DESTINATION ${QOR_THIRD_PARTY_INCLUDE})
    endif()
  endforeach()
  if(EXISTS /usr/include/stb)
    file(COPY /usr/include/stb DESTINATION ${QOR_THIRD_PARTY_INCLUDE})
  endif()
  # twain.h only, never Wine's whole include folder.
  if(EXISTS /usr/include/wine/wine/windows/twain.h)
    file(COPY /usr/include/wine/wine/windows/twain.h DESTINATION ${QOR_THIRD_PARTY_INCLUDE})
  endif()
endif()
add_library(qor_third_party INTERFACE)
target_include_directories(qor_third_party SYSTEM INTERFACE ${QOR_THIRD_PARTY_INCLUDE})
