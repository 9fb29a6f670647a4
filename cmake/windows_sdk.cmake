# The SDK for Windows clients built with mingw-w64, from the cross build:
#   bin/keluapi.dll, bin/kelu.exe    the library and the kelu command
#   lib/libkeluapi.dll.a             the import library (mingw-w64 names bound to the
#                                    decorated exports, api/mingw_import_library.cmake)
#   include/keluapi.h                the library's header, for mingw-w64's <windows.h>
#   lib/cmake/kelu/                  find_package(kelu 1.0 CONFIG): kelu::keluapi, KELU_PACKAGE_DIR
#   share/kelu/package/              the driver package (package/CMakeLists.txt)
include(${CMAKE_CURRENT_LIST_DIR}/package_config.cmake)

install(FILES $<TARGET_FILE:keluapi> DESTINATION bin)
install(FILES ${KELU_MINGW_IMPORT_LIBRARY} DESTINATION lib)
install(FILES ${CMAKE_SOURCE_DIR}/api/keluapi.h DESTINATION include)

set(kelu_cmake_dir lib/cmake/kelu)
kelu_install_package_config(${CMAKE_CURRENT_LIST_DIR}/keluConfigWindows.cmake.in ${kelu_cmake_dir})
