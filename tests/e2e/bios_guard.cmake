# A board whose processor runs with BIOS Guard: fwsim's reports, and flash writes through
# software SMI 0x90 carried out by the board's BIOS Guard service.
find_package(nlohmann_json REQUIRED)
add_executable(bios_guard_e2e_tests ${CMAKE_CURRENT_LIST_DIR}/bios_guard_e2e_test.cpp)
target_link_libraries(bios_guard_e2e_tests PRIVATE fw_sim nlohmann_json::nlohmann_json GTest::gtest_main)
target_include_directories(bios_guard_e2e_tests PRIVATE ${CMAKE_SOURCE_DIR})
target_compile_definitions(bios_guard_e2e_tests PRIVATE FWSIM_PATH="$<TARGET_FILE:fwsim>")
add_dependencies(bios_guard_e2e_tests fwsim SpiFlashSmm PlatformFlashSmm)
include(GoogleTest)
gtest_discover_tests(bios_guard_e2e_tests DISCOVERY_TIMEOUT 60 PROPERTIES LABELS e2e)
