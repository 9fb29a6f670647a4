# Helpers for the mingw-w64 build of the Windows deliverables.

# kelu_add_kernel_driver(<target> <sources...>): a native kernel-mode image
# <target>.sys that imports only from ntoskrnl.exe and HAL.dll.
function(kelu_add_kernel_driver target)
  add_library(${target} SHARED ${ARGN})
  set_target_properties(${target} PROPERTIES PREFIX "" SUFFIX ".sys")
  target_compile_definitions(${target} PRIVATE
    __INTRINSIC_DEFINED_InterlockedBitTestAndSet
    __INTRINSIC_DEFINED_InterlockedBitTestAndReset
    _X86_=1 i386=1 STD_CALL)
  target_compile_options(${target} PRIVATE
    -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables -ffreestanding -Wall)
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR}/include
    /usr/i686-w64-mingw32/include/ddk)
  target_link_options(${target} PRIVATE -nostdlib -shared -Wl,--subsystem,native
    -Wl,--entry,_DriverEntry@8 -Wl,--image-base,0x10000)
  target_link_libraries(${target} PRIVATE ntoskrnl hal gcc)
endfunction()
