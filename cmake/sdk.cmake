# The SDK: what an application written against <windows.h> and keluapi.h needs to build
# with find_package(kelu CONFIG REQUIRED) and kelu::keluapi, and to run on the embedded
# machine. The libraries find each other, and the kelu command finds them, through
# RUNPATHs relative to where they are installed.
include(${CMAKE_CURRENT_LIST_DIR}/package_config.cmake)

set(kelu_sdk_libraries ntoskrnl win32 keluapi)
# Versioned shared objects: libkeluapi.so.1 is the SONAME an application records, and
# it changes only when the major version does.
set_target_properties(${kelu_sdk_libraries} PROPERTIES INSTALL_RPATH "$ORIGIN"
  VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
file(RELATIVE_PATH kelu_tool_to_libraries
  ${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR} ${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR})
set_target_properties(kelu_tool PROPERTIES INSTALL_RPATH "$ORIGIN/${kelu_tool_to_libraries}")

install(TARGETS ${kelu_sdk_libraries} EXPORT keluTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(DIRECTORY ${CMAKE_SOURCE_DIR}/platform/include/ DESTINATION ${KELU_SDK_INCLUDE_DIR}
  FILES_MATCHING PATTERN "*.h")
install(FILES ${CMAKE_SOURCE_DIR}/api/keluapi.h ${CMAKE_SOURCE_DIR}/include/kelbus.h
  ${CMAKE_SOURCE_DIR}/include/kelu_ioctl.h DESTINATION ${KELU_SDK_INCLUDE_DIR})

set(kelu_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/kelu)
install(EXPORT keluTargets NAMESPACE kelu:: DESTINATION ${kelu_cmake_dir})
kelu_install_package_config(${CMAKE_CURRENT_LIST_DIR}/keluConfig.cmake.in ${kelu_cmake_dir})

# For builds without CMake: pkg-config --cflags --libs kelu. The file finds the prefix
# from where it lies, so that the SDK works wherever `cmake --install --prefix` put it.
file(RELATIVE_PATH kelu_pkgconfig_to_prefix
  ${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
configure_file(${CMAKE_CURRENT_LIST_DIR}/kelu.pc.in ${CMAKE_BINARY_DIR}/kelu.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/kelu.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
