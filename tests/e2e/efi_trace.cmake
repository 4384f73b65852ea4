# The .efi images on the x86-64 emulator against the host images: the same traces.
if(FW_EMULATION)
  add_executable(efi_trace_e2e_tests ${CMAKE_CURRENT_LIST_DIR}/efi_trace_test.cpp)
  target_link_libraries(efi_trace_e2e_tests PRIVATE GTest::gtest_main)
  target_compile_definitions(efi_trace_e2e_tests PRIVATE FWSIM_PATH="$<TARGET_FILE:fwsim>"
                             FW_EFI_IMAGE_DIR="${FW_EFI_IMAGE_DIR}")
  add_dependencies(efi_trace_e2e_tests fwsim)
  include(GoogleTest)
  gtest_discover_tests(efi_trace_e2e_tests DISCOVERY_TIMEOUT 60 PROPERTIES LABELS efi TIMEOUT 300)
endif()
