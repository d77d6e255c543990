# The relay runs as a program.
add_dependencies(${test_name} lumora-relay)
target_compile_definitions(${test_name} PRIVATE LUMORA_RELAY="$<TARGET_FILE:lumora-relay>")
