# Kernel images for Windows, cross-compiled with mingw-w64.

if(CMAKE_SYSTEM_PROCESSOR STREQUAL "X86")
    set(image_name ${VODREK_IMAGE_X86_NAME})
    set(entry_symbol _DriverEntry@8)
    set(image_base 0x10000)
    # Frame-based unwinding needs no DWARF tables in an i386 kernel image.
    set(arch_flags -fno-asynchronous-unwind-tables -fno-unwind-tables)
else()
    set(image_name ${VODREK_IMAGE_X64_NAME})
    set(entry_symbol DriverEntry)
    set(image_base 0x140000000)
    set(arch_flags "")
endif()

add_executable(${image_name} ${VODREK_DRIVER_SOURCES})
set_target_properties(${image_name} PROPERTIES SUFFIX ".sys" OUTPUT_NAME ${image_name})
target_include_directories(${image_name} PRIVATE ${CMAKE_SOURCE_DIR})
target_include_directories(${image_name} SYSTEM PRIVATE ${VODREK_DDK_INCLUDE})
target_compile_definitions(${image_name} PRIVATE ${VODREK_KERNEL_DEFINES} _KERNEL_MODE=1)
target_compile_options(${image_name} PRIVATE ${VODREK_KERNEL_CXX_FLAGS}
    -O2 -fno-stack-protector -fno-strict-aliasing -mno-stack-arg-probe ${arch_flags})
# Native subsystem, our own entry point, no C runtime; relocations kept so the
# kernel can load the image at any address; no export directory.
target_link_options(${image_name} PRIVATE
    -nostdlib
    -Wl,--subsystem,native -Wl,--entry,${entry_symbol}
    -Wl,--wdmdriver -Wl,--dynamicbase -Wl,--nxcompat -Wl,--enable-reloc-section
    -Wl,--image-base,${image_base}
    -Wl,--file-alignment,0x200 -Wl,--section-alignment,0x1000)
target_link_libraries(${image_name} PRIVATE ntoskrnl hal usbd wmilib gcc)

# Signed with the build tree's test certificate, and copied beside vodrek.inf.
vodrek_test_sign_image(${image_name})
