# Compiler settings shared by every target of the project.

# The floating-point model is part of the product: the corrected image must be bit-identical in
# both builds, so contraction into fused multiply-adds is never allowed, and i686 uses SSE2
# arithmetic instead of the x87 unit.
add_compile_options(-ffp-contract=off)
if(WIN32)
  add_compile_options(-msse2 -mfpmath=sse)
  # A static runtime, so that no mingw DLL has to travel with the binaries.
  add_link_options(-static -static-libgcc -static-libstdc++)
  add_compile_definitions(UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
endif()

if(QOR_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# Warnings are errors for project code (not for GoogleTest and other outside code).
function(qor_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow -Werror)
  if(WIN32)
    # x86_64 has one calling convention, so a function pointer cast that drops a CALLBACK or
    # WINAPI breaks only the shipped i686 build: such casts are errors in both Windows builds.
    target_compile_options(${target} PRIVATE -Werror=cast-function-type)
  endif()
endfunction()

# Files that read a command line: nearly all of their compile time goes into the argument
# parser's templates, and none of their speed matters, so they are compiled at -O1 (about a
# quarter less time). Call it in the folder that adds the target.
function(qor_command_line_sources)
  set_source_files_properties(${ARGN} PROPERTIES COMPILE_OPTIONS -O1)
endfunction()

# Writes the .def of an export table ("ordinal name argument-bytes" a line): on i686 the decorated
# __stdcall names (name@bytes), on x86_64 the plain names; `suffix` follows every entry.
function(qor_write_def def_file dll_name table suffix)
  file(STRINGS ${table} lines REGEX "^[ \t]*[0-9]")
  set(def "LIBRARY \"${dll_name}\"\nEXPORTS\n")
  foreach(line IN LISTS lines)
    string(REGEX MATCH "^[ \t]*([0-9]+)[ \t]+([A-Za-z_0-9]+)[ \t]+([0-9]+)" _ "${line}")
    if(CMAKE_SIZEOF_VOID_P EQUAL 4)
      string(APPEND def "  ${CMAKE_MATCH_2}@${CMAKE_MATCH_3} @${CMAKE_MATCH_1}${suffix}\n")
    else()
      string(APPEND def "  ${CMAKE_MATCH_2} @${CMAKE_MATCH_1}${suffix}\n")
    endif()
  endforeach()
  file(CONFIGURE OUTPUT ${def_file} CONTENT "${def}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${table})
endfunction()

# A Windows DLL whose exports have fixed ordinals. `table` lists one export a line:
# "ordinal name argument-bytes" ('#' starts a comment). From it we generate the .def: on i686 the
# decorated __stdcall names (name@bytes) that --kill-at strips from the export table, on x86_64
# the plain names. The import library CMake would make is unusable for __stdcall callers, so we
# make our own with dlltool -k from the same .def; link it through the target `<target>_implib`.
function(qor_windows_dll target table)
  get_target_property(out_name ${target} OUTPUT_NAME)
  if(NOT out_name)
    set(out_name ${target})
  endif()
  set(def_file ${CMAKE_CURRENT_BINARY_DIR}/${target}.def)
  qor_write_def(${def_file} "${out_name}.dll" ${table} "")
  set_target_properties(${target} PROPERTIES PREFIX "" IMPORT_PREFIX "" IMPORT_SUFFIX ".dll.a")
  target_sources(${target} PRIVATE ${def_file})
  target_link_options(${target} PRIVATE -Wl,--kill-at)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    # The decorated names in the .def carry the table's argument bytes; the compiler decorates
    # each __stdcall definition with the size of its declared arguments. A different size cannot
    # link ("cannot export"), and without the fix-up a definition that lost its __stdcall cannot
    # either, instead of being linked with a warning.
    target_link_options(${target} PRIVATE -Wl,--disable-stdcall-fixup)
  endif()
  qor_dlltool_library(${target}_implib ${def_file} ${out_name}.dll
    ${CMAKE_CURRENT_BINARY_DIR}/lib${target}_stdcall.a -l)
  # The same, loaded at the first call (`<target>_delayed`): a tool can then start without the
  # DLL, find it where the suite is installed, and say so when it is nowhere.
  qor_dlltool_library(${target}_delayed ${def_file} ${out_name}.dll
    ${CMAKE_CURRENT_BINARY_DIR}/lib${target}_delayed.a -y delayimp)
endfunction()

# An INTERFACE library `name` over the import library `lib` that dlltool makes from `def_file`
# for `dll`: `-l` binds at load time, `-y` at the first call (then link `delayimp` too).
function(qor_dlltool_library name def_file dll lib kind)
  add_custom_command(OUTPUT ${lib}
    COMMAND ${CMAKE_DLLTOOL} -k -d ${def_file} -D ${dll} ${kind} ${lib}
    DEPENDS ${def_file} VERBATIM)
  add_custom_target(${name}_build DEPENDS ${lib})
  add_library(${name} INTERFACE)
  target_link_libraries(${name} INTERFACE ${lib} ${ARGN})
  add_dependencies(${name} ${name}_build)
endfunction()

# An import library that binds every export of `table` (the format qor_windows_dll reads) BY
# ORDINAL, for callers that must keep working with any build of `dll_name` whose ordinals hold.
# Link it through the interface target `target`.
function(qor_ordinal_import_library target dll_name table)
  set(def_file ${CMAKE_CURRENT_BINARY_DIR}/${target}.def)
  qor_write_def(${def_file} "${dll_name}" ${table} " NONAME")
  set(implib ${CMAKE_CURRENT_BINARY_DIR}/lib${target}.a)
  add_custom_command(OUTPUT ${implib}
    COMMAND ${CMAKE_DLLTOOL} -k -d ${def_file} -D ${dll_name} -l ${implib}
    DEPENDS ${def_file} VERBATIM)
  add_custom_target(${target}_build DEPENDS ${implib})
  add_library(${target} INTERFACE)
  target_link_libraries(${target} INTERFACE ${implib})
  add_dependencies(${target} ${target}_build)
endfunction()
