# Helpers for the Linux build, where the Windows deliverables run on the emulated platform.

# kelu_add_kernel_driver(<target> <sources...>): a driver image <target>.sys, a shared
# object that the emulated kernel loads; its kernel calls resolve against ntoskrnl.
function(kelu_add_kernel_driver target)
  add_library(${target} MODULE ${ARGN})
  set_target_properties(${target} PROPERTIES PREFIX "" SUFFIX ".sys")
  target_compile_options(${target} PRIVATE -fno-exceptions -fno-rtti -fshort-wchar)
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR}/include)
  target_link_libraries(${target} PRIVATE ntoskrnl)
endfunction()

# The SDK that `cmake --install` lays out: headers under <prefix>/include/kelu (the
# platform's Windows headers beside keluapi.h), the libraries, the driver package, the
# kelu command and the CMake package (cmake/sdk.cmake).
include(GNUInstallDirs)
set(KELU_SDK_INCLUDE_DIR ${CMAKE_INSTALL_INCLUDEDIR}/kelu)
