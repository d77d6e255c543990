# The demo test runs scripts/demo headless against this build's programs.
target_compile_definitions(${test_name} PRIVATE
  LUMORA_SOURCE_DIR="${PROJECT_SOURCE_DIR}" LUMORA_BUILD_DIR="${PROJECT_BINARY_DIR}")
add_dependencies(${test_name} lumora-meters lumora-console-sim)
set_tests_properties(${test_name} PROPERTIES TIMEOUT 360)
