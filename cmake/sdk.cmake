# The SDK: what an application written against <windows.h> and keluapi.h needs to build
# with find_package(kelu CONFIG REQUIRED) and kelu::keluapi, and to run on the embedded
# machine. The libraries find each other, and the kelu command finds them, through
# RUNPATHs relative to where they are installed.
include(CMakePackageConfigHelpers)

set(kelu_sdk_libraries ntoskrnl win32 keluapi)
set_target_properties(${kelu_sdk_libraries} PROPERTIES INSTALL_RPATH "$ORIGIN")
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
set(KELU_PACKAGE_INSTALL_DIR share/kelu/package)  # where package/ installs it
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/keluConfig.cmake.in
  ${CMAKE_BINARY_DIR}/keluConfig.cmake
  INSTALL_DESTINATION ${kelu_cmake_dir}
  PATH_VARS KELU_PACKAGE_INSTALL_DIR)
install(FILES ${CMAKE_BINARY_DIR}/keluConfig.cmake DESTINATION ${kelu_cmake_dir})
