# The CMake package that both SDKs (Linux and Windows) install in CMAKE_DIR: keluConfig.cmake
# made from TEMPLATE, which finds the driver package from where it was installed, and a
# version file by which find_package(kelu 1.0 CONFIG) takes any 1.x at or above the
# version asked for.
include(CMakePackageConfigHelpers)

function(kelu_install_package_config template cmake_dir)
  set(KELU_PACKAGE_INSTALL_DIR share/kelu/package)  # where package/ installs it
  configure_package_config_file(${template} ${CMAKE_BINARY_DIR}/keluConfig.cmake
    INSTALL_DESTINATION ${cmake_dir}
    PATH_VARS KELU_PACKAGE_INSTALL_DIR)
  write_basic_package_version_file(${CMAKE_BINARY_DIR}/keluConfigVersion.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
  install(FILES ${CMAKE_BINARY_DIR}/keluConfig.cmake ${CMAKE_BINARY_DIR}/keluConfigVersion.cmake
    DESTINATION ${cmake_dir})
endfunction()
