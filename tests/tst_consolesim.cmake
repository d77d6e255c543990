# The test runs the simulator itself; it finds it through this definition.
add_dependencies(${test_name} lumora-console-sim)
target_compile_definitions(${test_name} PRIVATE
  LUMORA_CONSOLE_SIM="$<TARGET_FILE:lumora-console-sim>")
# openpty() for the serial-device test.
target_link_libraries(${test_name} PRIVATE util)
# The relay's command line is checked beside the simulator's.
add_dependencies(${test_name} lumora-relay)
target_compile_definitions(${test_name} PRIVATE LUMORA_RELAY="$<TARGET_FILE:lumora-relay>")
target_compile_definitions(${test_name} PRIVATE LUMORA_VERSION_TEXT="${PROJECT_VERSION}")
# The simulator's levels are checked against the pattern itself.
target_link_libraries(${test_name} PRIVATE lumora_programpattern)
