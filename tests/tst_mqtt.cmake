# The presence rows run the display itself.
add_dependencies(${test_name} lumora-meters)
target_compile_definitions(${test_name} PRIVATE LUMORA_PROGRAM="$<TARGET_FILE:lumora-meters>")
set_tests_properties(${test_name} PROPERTIES TIMEOUT 180)
# libmosquitto's thread hands its events over: ThreadSanitizer runs it too.
set_property(TEST ${test_name} APPEND PROPERTY LABELS thread)
