# The main job: `fwsim demo --json` on the default board and its variants.
find_package(nlohmann_json REQUIRED)
add_executable(demo_e2e_tests ${CMAKE_CURRENT_LIST_DIR}/demo_test.cpp)
target_link_libraries(demo_e2e_tests PRIVATE nlohmann_json::nlohmann_json GTest::gtest_main)
target_compile_definitions(demo_e2e_tests PRIVATE FWSIM_PATH="$<TARGET_FILE:fwsim>")
add_dependencies(demo_e2e_tests fwsim)
include(GoogleTest)
gtest_discover_tests(demo_e2e_tests DISCOVERY_TIMEOUT 60 PROPERTIES LABELS e2e)
