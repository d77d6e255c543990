add_dependencies(${test_name} lumora-meters)
target_compile_definitions(${test_name} PRIVATE LUMORA_METERS_BIN="$<TARGET_FILE:lumora-meters>")
