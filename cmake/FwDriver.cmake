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

# Namespace of the name-based FFS file GUIDs of images that do not give FILE_GUID.
set(FW_FFS_GUID_NAMESPACE 5C0E3B8A-7D21-4F6A-9E4B-2A8D6C1F0B37)

# fw_driver_image(<ImageName> KIND smm|dxe LIBS <driver libs...>
#                 [DEPEX <protocol GUID names or GUIDs...>] [FILE_GUID <guid>])
# The image's entry point is _ModuleEntryPoint, defined in one of its libs.
# The uefi build also packages the image into <ImageName>.ffs: an SMM file (SMM_DEPEX,
# PE32, UI) or a DXE driver file ([DXE_DEPEX], PE32, UI). DEPEX lists the protocols that
# must be installed before the image may start (AND-ed); an SMM image without DEPEX
# gets TRUE, a DXE image without DEPEX no dependency section.
function(fw_driver_image name)
  cmake_parse_arguments(ARG "" "KIND;FILE_GUID" "LIBS;DEPEX" ${ARGN})
  if(FW_BUILD_HOST)
    add_library(${name} MODULE ${CMAKE_SOURCE_DIR}/platform/host/ImageExports.cpp)
    target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR})
    set_target_properties(${name} PROPERTIES PREFIX "" OUTPUT_NAME ${name}
      LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/images)
    # The frame calls back into the driver's body: link the libraries as one group.
    target_link_libraries(${name} PRIVATE -Wl,--start-group ${ARG_LIBS} fw_platform_host -Wl,--end-group
      -Wl,--exclude-libs,ALL)
    # clang's sanitizer and coverage runtimes live in the fuzzer executable that loads the
    # image, so a fuzz build leaves their symbols to the loader.
    if(NOT FW_BUILD_FUZZ)
      target_link_libraries(${name} PRIVATE -Wl,--no-undefined)
    endif()
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
    # The image's identity record (name, entry point) keeps a relocation directory in
    # every image, even one whose code is all RIP-relative.
    set(identity ${CMAKE_BINARY_DIR}/efi-obj/${name}/ImageIdentity.obj)
    add_custom_command(OUTPUT ${identity}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/efi-obj/${name}
      COMMAND ${FW_EFI_CXX} ${FW_EFI_CXXFLAGS} -DFW_IMAGE_NAME=${name} -MD -MF ${identity}.d
              -c ${CMAKE_SOURCE_DIR}/platform/target/ImageIdentity.cpp -o ${identity}
      DEPENDS ${CMAKE_SOURCE_DIR}/platform/target/ImageIdentity.cpp DEPFILE ${identity}.d
      COMMENT "efi: ${name} identity record" VERBATIM)
    set(out ${CMAKE_BINARY_DIR}/efi/${name}.efi)
    # Subsystem 11 (EFI boot service driver) for the SMM drivers and the DXE driver alike.
    add_custom_command(OUTPUT ${out}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/efi
      COMMAND ${FW_EFI_LINK} /nologo /nodefaultlib /entry:_ModuleEntryPoint /machine:x64 /base:0
              /align:4096 /filealign:512 /driver /opt:ref /debug:none /subsystem:efi_boot_service_driver
              /include:_ModuleEntryPoint /include:gFwImageIdentity /map:${CMAKE_BINARY_DIR}/efi/${name}.map
              /out:${out} ${identity} ${archives}
      DEPENDS ${deps} ${identity} COMMENT "efi image: ${name}.efi" VERBATIM)

    # FFS packaging: the file description is written now, fwimage packs it at build time.
    if(NOT ARG_FILE_GUID)
      string(UUID ARG_FILE_GUID NAMESPACE ${FW_FFS_GUID_NAMESPACE} NAME ${name} TYPE SHA1 UPPER)
    endif()
    if(ARG_KIND STREQUAL "smm")
      set(ffs_type smm)
      if(NOT ARG_DEPEX)
        set(ARG_DEPEX TRUE)
      endif()
    elseif(ARG_KIND STREQUAL "dxe")
      set(ffs_type driver)
    else()
      message(FATAL_ERROR "fw_driver_image(${name}): KIND must be smm or dxe")
    endif()
    set(ffs_desc ${CMAKE_BINARY_DIR}/ffs/${name}.toml)
    set(text "# Written by cmake: how ${name}.efi is packaged into ${name}.ffs.\n[file]\n")
    string(APPEND text "type = \"${ffs_type}\"\nguid = \"${ARG_FILE_GUID}\"\nui = \"${name}\"\npe = \"${out}\"\n")
    if(ARG_DEPEX)
      list(TRANSFORM ARG_DEPEX PREPEND "\"" OUTPUT_VARIABLE quoted)
      list(TRANSFORM quoted APPEND "\"")
      list(JOIN quoted ", " depex)
      string(APPEND text "depex = [${depex}]\n")
    endif()
    file(CONFIGURE OUTPUT ${ffs_desc} CONTENT "${text}")
    set(ffs ${CMAKE_BINARY_DIR}/ffs/${name}.ffs)
    add_custom_command(OUTPUT ${ffs}
      COMMAND fwimage ffs ${ffs_desc} -o ${ffs}
      DEPENDS ${out} ${ffs_desc} fwimage COMMENT "ffs file: ${name}.ffs" VERBATIM)
    add_custom_target(efi_${name} ALL DEPENDS ${out} ${ffs})
    set_property(GLOBAL APPEND PROPERTY FW_EFI_IMAGES ${name})
  endif()
endfunction()
