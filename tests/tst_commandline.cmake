# The lock and the options are tested on the built program itself.
add_dependencies(${test_name} lumora-meters)
target_compile_definitions(${test_name} PRIVATE LUMORA_PROGRAM="$<TARGET_FILE:lumora-meters>")
