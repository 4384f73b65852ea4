# Board service, sleep pads and the PCH seen through fwsim, as an operator uses it.
find_package(nlohmann_json REQUIRED)
add_executable(pch_e2e_tests ${CMAKE_CURRENT_LIST_DIR}/pch_fwsim_test.cpp)
target_link_libraries(pch_e2e_tests PRIVATE nlohmann_json::nlohmann_json GTest::gtest_main)
target_compile_definitions(pch_e2e_tests PRIVATE FWSIM_PATH="$<TARGET_FILE:fwsim>")
add_dependencies(pch_e2e_tests fwsim)
include(GoogleTest)
gtest_discover_tests(pch_e2e_tests DISCOVERY_TIMEOUT 60)
