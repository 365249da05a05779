# Builds freestanding PE32+ boot-service driver images with clang and lld-link.

set(EFI_COMPILE_OPTIONS
  --target=x86_64-unknown-windows
  -ffreestanding
  -fno-exceptions
  -fno-rtti
  -fno-asynchronous-unwind-tables
  -fno-stack-protector
  -mno-red-zone
  -mno-stack-arg-probe
  -mno-implicit-float
  -ffunction-sections
  -fdata-sections
  # Flash is what an image costs, and none of this code is hot.
  -Oz
  # Whole-image optimisation: single-use routines fold into their callers
  # and constant state into the code that reads it.
  -flto
  -Wall
  -Wextra
  -Werror)

set(EFI_LINK_OPTIONS
  /nologo
  /machine:x64
  /nodefaultlib
  /opt:ref
  /opt:icf
  /dynamicbase
  /nxcompat
  /fixed:no
  # Constants are read-only like code; one section header and its padding
  # less.
  /merge:.rdata=.text
  /filealign:32
  /debug:none
  /Brepro)

# Every image sees our UEFI declarations, the support library and the
# chipset's facts; a board's wiring only where an image asks for it.
set(EFI_INCLUDE_DIRS
  ${PROJECT_SOURCE_DIR}/include
  ${PROJECT_SOURCE_DIR}/support
  ${PROJECT_SOURCE_DIR}/chipset)

# add_efi_static_library(Name sources...): Name.lib of image objects.
function(add_efi_static_library Name)
  add_library(${Name}Objects OBJECT ${ARGN})
  target_compile_options(${Name}Objects PRIVATE ${EFI_COMPILE_OPTIONS})
  target_include_directories(${Name}Objects PRIVATE ${EFI_INCLUDE_DIRS})
  set(Output ${CMAKE_BINARY_DIR}/${Name}.lib)
  add_custom_command(
    OUTPUT ${Output}
    COMMAND ${CMAKE_COMMAND} -E rm -f ${Output}
    COMMAND ${LLVM_LIB} /nologo /out:${Output} $<TARGET_OBJECTS:${Name}Objects>
    DEPENDS $<TARGET_OBJECTS:${Name}Objects>
    COMMAND_EXPAND_LISTS
    VERBATIM)
  add_custom_target(${Name} ALL DEPENDS ${Output})
  # Make builds the objects only through their own target.
  add_dependencies(${Name} ${Name}Objects)
  set_target_properties(${Name} PROPERTIES EFI_LIBRARY_FILE ${Output})
endfunction()

# add_efi_image(Name [SUBSYSTEM s] [ENTRY e] [BOARD b] [INCLUDE_DIRS dirs...]
#               LIBRARIES libs... SOURCES sources...): Name.efi, a boot-service
# driver entered at DriverEntry unless told otherwise, compiled for board b's
# wiring (target_board) when given.
function(add_efi_image Name)
  cmake_parse_arguments(PARSE_ARGV 1 Image "" "SUBSYSTEM;ENTRY;BOARD" "LIBRARIES;SOURCES;INCLUDE_DIRS")
  if(NOT Image_SUBSYSTEM)
    set(Image_SUBSYSTEM efi_boot_service_driver)
  endif()
  if(NOT Image_ENTRY)
    set(Image_ENTRY DriverEntry)
  endif()
  add_library(${Name}Objects OBJECT ${Image_SOURCES})
  target_compile_options(${Name}Objects PRIVATE ${EFI_COMPILE_OPTIONS})
  target_include_directories(${Name}Objects PRIVATE ${EFI_INCLUDE_DIRS} ${Image_INCLUDE_DIRS})
  if(Image_BOARD)
    target_board(${Name}Objects ${Image_BOARD})
  endif()
  set(LibraryFiles)
  foreach(Library IN LISTS Image_LIBRARIES)
    list(APPEND LibraryFiles $<TARGET_PROPERTY:${Library},EFI_LIBRARY_FILE>)
  endforeach()
  set(Output ${CMAKE_BINARY_DIR}/${Name}.efi)
  add_custom_command(
    OUTPUT ${Output}
    COMMAND ${LLD_LINK} ${EFI_LINK_OPTIONS} /subsystem:${Image_SUBSYSTEM} /entry:${Image_ENTRY} /out:${Output} $<TARGET_OBJECTS:${Name}Objects> ${LibraryFiles}
    DEPENDS $<TARGET_OBJECTS:${Name}Objects> ${Image_LIBRARIES} ${LibraryFiles}
    COMMAND_EXPAND_LISTS
    VERBATIM)
  add_custom_target(${Name} ALL DEPENDS ${Output})
  add_dependencies(${Name} ${Name}Objects)
endfunction()

# add_ffs_file(Name Guid [IMAGE image]): Name.ffs, the image (Name.efi
# unless given) as an FFS file of type DRIVER named Name; the GUID is the
# file's name in a firmware volume.
function(add_ffs_file Name Guid)
  cmake_parse_arguments(PARSE_ARGV 2 Ffs "" "IMAGE" "")
  if(NOT Ffs_IMAGE)
    set(Ffs_IMAGE ${Name})
  endif()
  set(Input ${CMAKE_BINARY_DIR}/${Ffs_IMAGE}.efi)
  set(Output ${CMAKE_BINARY_DIR}/${Name}.ffs)
  set(Tool ${PROJECT_SOURCE_DIR}/tools/firmware_volume.py)
  add_custom_command(
    OUTPUT ${Output}
    COMMAND Python3::Interpreter ${Tool} ffs --guid ${Guid} --name ${Name} ${Input} ${Output}
    DEPENDS ${Input} ${Tool}
    VERBATIM)
  add_custom_target(${Name}Ffs ALL DEPENDS ${Output})
  add_dependencies(${Name}Ffs ${Ffs_IMAGE})
  set_target_properties(${Name}Ffs PROPERTIES FFS_GUID ${Guid} FFS_FILE ${Output})
endfunction()

# add_driver(Name GUID guid [BOARD b] SOURCES sources...): a deliverable,
# described once in its module's folder: Name.efi linked with
# DriverSupportLib, and Name.ffs named by the GUID (the FFS_GUID property of
# NameFfs). The sources, with their folder, are the DRIVER_SOURCES property,
# which the host tests read back.
function(add_driver Name)
  cmake_parse_arguments(PARSE_ARGV 1 Driver "" "GUID;BOARD" "SOURCES")
  add_efi_image(${Name} LIBRARIES DriverSupportLib BOARD ${Driver_BOARD} SOURCES ${Driver_SOURCES})
  add_ffs_file(${Name} ${Driver_GUID})
  list(TRANSFORM Driver_SOURCES PREPEND ${CMAKE_CURRENT_SOURCE_DIR}/)
  set_target_properties(${Name} PROPERTIES DRIVER_SOURCES "${Driver_SOURCES}")
endfunction()

# The flash image the drivers go into: OVMF_CODE from the environment of this
# configure run, as the host tools take it, or Debian's OVMF when it is unset.
# Nothing is remembered from an earlier run: a build configured once with
# another image returns to the default with the next plain configure.
unset(OVMF_CODE CACHE)
if(DEFINED ENV{OVMF_CODE} AND NOT "$ENV{OVMF_CODE}" STREQUAL "")
  set(OVMF_CODE $ENV{OVMF_CODE})
else()
  set(OVMF_CODE /usr/share/OVMF/OVMF_CODE_4M.fd)
endif()
message(STATUS "OVMF code image: ${OVMF_CODE}")
# For the road to name what it boots.
file(WRITE ${CMAKE_BINARY_DIR}/ovmf-code.txt "${OVMF_CODE}\n")
# The flash images are built from a copy at a fixed place: CMake deletes the
# outputs of a command whose command line changes, so naming the image itself
# in the command would delete every flash image, the shipped one included, at
# each switch of image. The copy follows the image's content instead.
set(OVMF_CODE_COPY ${CMAKE_BINARY_DIR}/ovmf-code-base.fd)
if(EXISTS ${OVMF_CODE})
  configure_file(${OVMF_CODE} ${OVMF_CODE_COPY} COPYONLY)
else()
  message(WARNING "${OVMF_CODE} not found (Debian package ovmf): no flash image is built, and the checks that boot "
                  "one are left out")
endif()

# add_flash_image(Target Output ffs-targets...): OVMF_CODE with the FFS files
# of the given targets appended to its DXE volume in this order, where the DXE
# dispatcher starts them.
function(add_flash_image Target Output)
  if(NOT EXISTS ${OVMF_CODE})
    return()
  endif()
  set(Files)
  foreach(FfsTarget IN LISTS ARGN)
    list(APPEND Files $<TARGET_PROPERTY:${FfsTarget},FFS_FILE>)
  endforeach()
  set(Tool ${PROJECT_SOURCE_DIR}/tools/firmware_volume.py)
  add_custom_command(
    OUTPUT ${CMAKE_BINARY_DIR}/${Output}
    COMMAND Python3::Interpreter ${Tool} insert --output ${CMAKE_BINARY_DIR}/${Output} ${OVMF_CODE_COPY} ${Files}
    DEPENDS ${Files} ${ARGN} ${Tool} ${OVMF_CODE_COPY}
    COMMAND_EXPAND_LISTS
    VERBATIM)
  add_custom_target(${Target} ALL DEPENDS ${CMAKE_BINARY_DIR}/${Output})
endfunction()
