# openpty() for the console's end of the cable; the relay runs as a program.
target_link_libraries(${test_name} PRIVATE util)
add_dependencies(${test_name} lumora-relay)
target_compile_definitions(${test_name} PRIVATE LUMORA_RELAY="$<TARGET_FILE:lumora-relay>")
