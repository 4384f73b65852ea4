# The operating system's flash tool (fwsim) against an image built by fwimage.
find_package(nlohmann_json REQUIRED)
add_executable(flash_service_e2e_tests ${CMAKE_CURRENT_LIST_DIR}/flash_service_e2e_test.cpp)
target_link_libraries(flash_service_e2e_tests PRIVATE nlohmann_json::nlohmann_json GTest::gtest_main)
target_compile_definitions(flash_service_e2e_tests PRIVATE
  FWSIM_PATH="$<TARGET_FILE:fwsim>" FWIMAGE_PATH="$<TARGET_FILE:fwimage>" FW_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
add_dependencies(flash_service_e2e_tests fwsim fwimage)
gtest_discover_tests(flash_service_e2e_tests DISCOVERY_TIMEOUT 60 PROPERTIES LABELS e2e)
