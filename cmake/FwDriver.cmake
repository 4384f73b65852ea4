# Driver-side libraries and images, built two ways from the same sources:
#  - host: each library is a static archive (PIC); each image a MODULE (.so) that links
#    its own copy of every library it names, so every loaded image has its own state.
#  - uefi: each library's sources are compiled by clang for x86_64-unknown-windows into
#    a COFF archive; each image is linked by lld-link into a PE32+ .efi.

set(FW_EFI_CXX clang++-14 CACHE STRING "clang++ used for the firmware target")
set(FW_EFI_LINK lld-link-14 CACHE STRING "lld-link used for the firmware target")
set(FW_EFI_LIB llvm-lib-14 CACHE STRING "llvm-lib used for the firmware target")
set(FW_EFI_CXXFLAGS
    --target=x86_64-unknown-windows -std=c++20 -O2 -Wall -Wextra -Werror
    -ffreestanding -fno-exceptions -fno-rtti -mno-red-zone -fno-stack-protector
    -mno-stack-arg-probe -fno-threadsafe-statics -fno-asynchronous-unwind-tables
    -mno-implicit-float -ffunction-sections -fdata-sections -DFW_TARGET_UEFI=1
    -I${CMAKE_SOURCE_DIR})

# Options for driver-side code on the host: no exceptions, no RTTI, hidden symbols.
set(FW_DRIVER_HOST_OPTIONS -fno-exceptions -fno-rtti -fvisibility=hidden -fvisibility-inlines-hidden)

# fw_driver_lib(<name> SOURCES <files...> [LIBS <driver libs...>])
function(fw_driver_lib name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  set(srcs)
  foreach(s ${ARG_SOURCES})
    get_filename_component(abs ${s} ABSOLUTE)
    list(APPEND srcs ${abs})
  endforeach()
  if(FW_BUILD_HOST)
    add_library(${name} STATIC ${srcs})
    target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR})
    target_compile_options(${name} PRIVATE ${FW_DRIVER_HOST_OPTIONS})
    if(ARG_LIBS)
      target_link_libraries(${name} PUBLIC ${ARG_LIBS})
    endif()
  endif()
  if(FW_BUILD_UEFI)
    set(objs)
    foreach(src ${srcs})
      file(RELATIVE_PATH rel ${CMAKE_SOURCE_DIR} ${src})
      string(REPLACE "/" "_" objname ${rel})
      set(obj ${CMAKE_BINARY_DIR}/efi-obj/${name}/${objname}.obj)
      add_custom_command(OUTPUT ${obj}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/efi-obj/${name}
        COMMAND ${FW_EFI_CXX} ${FW_EFI_CXXFLAGS} -MD -MF ${obj}.d -c ${src} -o ${obj}
        DEPENDS ${src} DEPFILE ${obj}.d
        COMMENT "efi: ${rel}" VERBATIM)
      list(APPEND objs ${obj})
    endforeach()
    set(archive ${CMAKE_BINARY_DIR}/efi-lib/${name}.lib)
    add_custom_command(OUTPUT ${archive}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/efi-lib
      COMMAND ${CMAKE_COMMAND} -E rm -f ${archive}
      COMMAND ${FW_EFI_LIB} /nologo /out:${archive} ${objs}
      DEPENDS ${objs} COMMENT "efi lib: ${name}" VERBATIM)
    add_custom_target(efi_lib_${name} DEPENDS ${archive})
    set_property(GLOBAL PROPERTY FW_EFI_ARCHIVE_${name} ${archive})
    set_property(GLOBAL PROPERTY FW_EFI_LIBS_${name} ${ARG_LIBS})
  endif()
endfunction()

# Collects the archives of a set of driver libs and everything they depend on.
function(_fw_collect_archives out)
  set(result)
  set(queue ${ARGN})
  while(queue)
    list(POP_FRONT queue lib)
    if(lib IN_LIST result)
      continue()
    endif()
    list(APPEND result ${lib})
    get_property(deps GLOBAL PROPERTY FW_EFI_LIBS_${lib})
    list(APPEND queue ${deps})
  endwhile()
  set(${out} ${result} PARENT_SCOPE)
endfunction()

# fw_driver_image(<ImageName> KIND smm|dxe LIBS <driver libs...>)
# The image's entry point is _ModuleEntryPoint, defined in one of its libs.
function(fw_driver_image name)
  cmake_parse_arguments(ARG "" "KIND" "LIBS" ${ARGN})
  if(FW_BUILD_HOST)
    add_library(${name} MODULE ${CMAKE_SOURCE_DIR}/platform/host/ImageExports.cpp)
    target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR})
    set_target_properties(${name} PROPERTIES PREFIX "" OUTPUT_NAME ${name}
      LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/images)
    target_link_libraries(${name} PRIVATE ${ARG_LIBS} fw_platform_host
      -Wl,--exclude-libs,ALL -Wl,--no-undefined)
    set_property(GLOBAL APPEND PROPERTY FW_HOST_IMAGES ${name})
  endif()
  if(FW_BUILD_UEFI)
    _fw_collect_archives(all ${ARG_LIBS} fw_platform_target)
    set(archives)
    set(deps)
    foreach(lib ${all})
      get_property(a GLOBAL PROPERTY FW_EFI_ARCHIVE_${lib})
      list(APPEND archives ${a})
      list(APPEND deps efi_lib_${lib} ${a})
    endforeach()
    set(out ${CMAKE_BINARY_DIR}/efi/${name}.efi)
    # Subsystem 11 (EFI boot service driver) for the SMM drivers and the DXE driver alike.
    add_custom_command(OUTPUT ${out}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/efi
      COMMAND ${FW_EFI_LINK} /nologo /nodefaultlib /entry:_ModuleEntryPoint /machine:x64 /base:0
              /align:4096 /filealign:512 /driver /opt:ref /debug:none /subsystem:efi_boot_service_driver
              /include:_ModuleEntryPoint /out:${out} ${archives}
      DEPENDS ${deps} COMMENT "efi image: ${name}.efi" VERBATIM)
    add_custom_target(efi_${name} ALL DEPENDS ${out})
    set_property(GLOBAL APPEND PROPERTY FW_EFI_IMAGES ${name})
  endif()
endfunction()
