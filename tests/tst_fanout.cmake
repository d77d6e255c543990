# 30 s of one relay feeding 20 group members (10 s in the sanitizer build),
# inside a private network namespace.
add_dependencies(${test_name} lumora-relay)
target_compile_definitions(${test_name} PRIVATE LUMORA_RELAY="$<TARGET_FILE:lumora-relay>")
set_tests_properties(${test_name} PROPERTIES LABELS "long;reliability" TIMEOUT 300)
