# Addresses and routes that change, inside a private network namespace;
# the relay is started as its own program.
add_dependencies(${test_name} lumora-relay)
target_compile_definitions(${test_name} PRIVATE LUMORA_RELAY="$<TARGET_FILE:lumora-relay>")
set_tests_properties(${test_name} PROPERTIES TIMEOUT 120)
