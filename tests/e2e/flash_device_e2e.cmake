# The flash device layer on the whole board: every catalogue part booted, named through
# "$BDR" function 0 and updated through software SMI 0x90, in process and through fwsim.
add_executable(flash_device_e2e_tests
  ${CMAKE_CURRENT_SOURCE_DIR}/flash_device_e2e_test.cpp
  ${CMAKE_SOURCE_DIR}/tools/fwsim/DefaultImage.cpp)
target_link_libraries(flash_device_e2e_tests PRIVATE fwsim_update GTest::gtest_main)
target_include_directories(flash_device_e2e_tests PRIVATE ${CMAKE_SOURCE_DIR})
target_compile_definitions(flash_device_e2e_tests PRIVATE
  FW_BOARDS_DIR="${CMAKE_SOURCE_DIR}/boards"
  FWSIM_BINARY="$<TARGET_FILE:fwsim>"
  FWIMAGE_BINARY="$<TARGET_FILE:fwimage>")
add_dependencies(flash_device_e2e_tests fwsim fwimage)
get_property(images GLOBAL PROPERTY FW_HOST_IMAGES)
if(images)
  add_dependencies(flash_device_e2e_tests ${images})
endif()
gtest_discover_tests(flash_device_e2e_tests DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
