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

set(EFI_INCLUDE_DIRS
  ${PROJECT_SOURCE_DIR}/include
  ${PROJECT_SOURCE_DIR}/support)

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

# add_efi_image(Name [SUBSYSTEM s] [ENTRY e] [INCLUDE_DIRS dirs...]
#               LIBRARIES libs... SOURCES sources...): Name.efi, a boot-service
# driver entered at DriverEntry unless told otherwise.
function(add_efi_image Name)
  cmake_parse_arguments(PARSE_ARGV 1 Image "" "SUBSYSTEM;ENTRY" "LIBRARIES;SOURCES;INCLUDE_DIRS")
  if(NOT Image_SUBSYSTEM)
    set(Image_SUBSYSTEM efi_boot_service_driver)
  endif()
  if(NOT Image_ENTRY)
    set(Image_ENTRY DriverEntry)
  endif()
  add_library(${Name}Objects OBJECT ${Image_SOURCES})
  target_compile_options(${Name}Objects PRIVATE ${EFI_COMPILE_OPTIONS})
  target_include_directories(${Name}Objects PRIVATE ${EFI_INCLUDE_DIRS} ${Image_INCLUDE_DIRS})
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

# add_ffs_file(Image Guid): Image.ffs, the image as an FFS file of type DRIVER
# named Image, for a firmware volume; the GUID is the file's name there.
function(add_ffs_file Image Guid)
  set(Input ${CMAKE_BINARY_DIR}/${Image}.efi)
  set(Output ${CMAKE_BINARY_DIR}/${Image}.ffs)
  set(Tool ${PROJECT_SOURCE_DIR}/tools/firmware_volume.py)
  add_custom_command(
    OUTPUT ${Output}
    COMMAND Python3::Interpreter ${Tool} ffs --guid ${Guid} --name ${Image} ${Input} ${Output}
    DEPENDS ${Input} ${Tool}
    VERBATIM)
  add_custom_target(${Image}Ffs ALL DEPENDS ${Output})
  add_dependencies(${Image}Ffs ${Image})
  set_target_properties(${Image}Ffs PROPERTIES FFS_GUID ${Guid})
endfunction()
