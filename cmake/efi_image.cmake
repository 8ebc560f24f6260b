# The EFI boot-service driver image: the driver sources plus arch/x64,
# compiled freestanding for the Microsoft x64 target and linked by lld-link.
find_program(KEL_EFI_CXX NAMES clang++-14 clang++ REQUIRED)
find_program(KEL_EFI_LINK NAMES lld-link-14 lld-link REQUIRED)

set(KEL_IMAGE_NAME KelNbioPcieHXDxe)
set(KEL_IMAGE_ENTRY KelNbioPcieHXDxeEntryPoint)
set(KEL_IMAGE_SOURCES ${KEL_DRIVER_SOURCES} arch/x64/arch_x64.cpp arch/x64/mem_ops.cpp)
set(KEL_IMAGE_FLAGS
  --target=x86_64-unknown-windows-msvc -std=c++20 -Oz
  -ffreestanding -nostdlibinc -fno-exceptions -fno-rtti -fno-threadsafe-statics
  -fno-stack-protector -mno-red-zone -mno-stack-arg-probe -fno-builtin
  -Wall -Wextra -Werror -Wshadow -Wconversion -Wno-sign-conversion
  -I${CMAKE_SOURCE_DIR} ${KEL_PLATFORM_DATA_DEFINE})

set(KEL_IMAGE_OBJECTS)
foreach(SOURCE ${KEL_IMAGE_SOURCES})
  string(REPLACE "/" "_" STEM ${SOURCE})
  set(OBJECT ${CMAKE_BINARY_DIR}/efi/${STEM}.obj)
  add_custom_command(
    OUTPUT ${OBJECT}
    COMMAND ${KEL_EFI_CXX} ${KEL_IMAGE_FLAGS} -MD -MF ${OBJECT}.d -c
            ${CMAKE_SOURCE_DIR}/${SOURCE} -o ${OBJECT}
    DEPENDS ${CMAKE_SOURCE_DIR}/${SOURCE}
    DEPFILE ${OBJECT}.d
    COMMENT "EFI compile ${SOURCE}"
    VERBATIM)
  list(APPEND KEL_IMAGE_OBJECTS ${OBJECT})
endforeach()

set(KEL_IMAGE ${CMAKE_BINARY_DIR}/${KEL_IMAGE_NAME}.efi)
set(KEL_IMAGE_MAP ${CMAKE_BINARY_DIR}/${KEL_IMAGE_NAME}.map)
add_custom_command(
  OUTPUT ${KEL_IMAGE} ${KEL_IMAGE_MAP}
  # /Brepro: the header's time stamp is a hash of the image, not the link
  # time, so one commit always links to the same bytes.
  COMMAND ${KEL_EFI_LINK} /nologo /subsystem:efi_boot_service_driver /entry:${KEL_IMAGE_ENTRY}
          /nodefaultlib /machine:x64 /opt:ref /Brepro /map:${KEL_IMAGE_MAP} /out:${KEL_IMAGE}
          ${KEL_IMAGE_OBJECTS}
  DEPENDS ${KEL_IMAGE_OBJECTS}
  COMMENT "EFI link ${KEL_IMAGE_NAME}.efi"
  VERBATIM)
add_custom_target(efi_image ALL DEPENDS ${KEL_IMAGE})
