# Bad board folders and command lines given to fwsim: one-line errors, the folder unchanged.
add_executable(tool_inputs_e2e_tests ${CMAKE_CURRENT_LIST_DIR}/tool_inputs_test.cpp)
target_link_libraries(tool_inputs_e2e_tests PRIVATE GTest::gtest_main)
target_compile_definitions(tool_inputs_e2e_tests PRIVATE FWSIM_PATH="$<TARGET_FILE:fwsim>")
add_dependencies(tool_inputs_e2e_tests fwsim)
gtest_discover_tests(tool_inputs_e2e_tests DISCOVERY_TIMEOUT 60 PROPERTIES LABELS e2e)
