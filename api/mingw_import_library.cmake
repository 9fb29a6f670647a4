# The import library through which mingw-w64 programs link keluapi.dll. The DLL
# exports Visual C++'s decorated names only; a program built with mingw-w64 refers to
# each function by g++'s name for it (C++) or by its plain name (C). dlltool makes an
# import library that binds both of those names to the decorated export
# ("NAME == IMPORTNAME"), generated from keluapi.def so that the two cannot drift.
#
# Gives the target keluapi_mingw: link it (and include keluapi.h) to call the library.
find_program(KELU_DLLTOOL NAMES i686-w64-mingw32-dlltool REQUIRED)

set(import_def ${CMAKE_CURRENT_BINARY_DIR}/keluapi_mingw.def)
set(import_library ${CMAKE_CURRENT_BINARY_DIR}/mingw/libkeluapi.dll.a)
set(KELU_MINGW_IMPORT_LIBRARY ${import_library} PARENT_SCOPE)  # the SDK installs it

file(STRINGS ${CMAKE_CURRENT_SOURCE_DIR}/keluapi.def export_lines REGEX "^ *\\?")
set(import_text "; generated from keluapi.def: mingw-w64 names bound to the decorated exports\n")
string(APPEND import_text "LIBRARY keluapi.dll\nEXPORTS\n")
set(export_count 0)
foreach(line IN LISTS export_lines)
  # ?plain@@decoration = g++name @ordinal
  if(NOT line MATCHES "^ *(\\?([A-Za-z0-9_]+)@@[^ ]+) = ([A-Za-z0-9_]+) @[0-9]+$")
    message(FATAL_ERROR "keluapi.def: cannot read the export line '${line}'")
  endif()
  string(APPEND import_text "    ${CMAKE_MATCH_3} == ${CMAKE_MATCH_1}\n    ${CMAKE_MATCH_2} == ${CMAKE_MATCH_1}\n")
  math(EXPR export_count "${export_count} + 1")
endforeach()
if(NOT export_count EQUAL 22)
  message(FATAL_ERROR "keluapi.def: expected 22 exports, read ${export_count}")
endif()
file(GENERATE OUTPUT ${import_def} CONTENT "${import_text}")

add_custom_command(OUTPUT ${import_library}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/mingw
  COMMAND ${KELU_DLLTOOL} --input-def ${import_def} --output-lib ${import_library}
  DEPENDS ${import_def}
  COMMENT "Making the mingw-w64 import library of keluapi.dll"
  VERBATIM)
add_custom_target(keluapi_mingw_import_library ALL DEPENDS ${import_library})

add_library(keluapi_mingw INTERFACE)
target_include_directories(keluapi_mingw INTERFACE ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(keluapi_mingw INTERFACE ${import_library})
add_dependencies(keluapi_mingw keluapi_mingw_import_library keluapi)
