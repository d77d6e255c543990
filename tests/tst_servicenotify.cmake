# The display and the relay, started as a Type=notify unit would start them.
add_dependencies(${test_name} lumora-meters lumora-relay)
target_compile_definitions(${test_name} PRIVATE LUMORA_PROGRAM="$<TARGET_FILE:lumora-meters>"
  LUMORA_RELAY="$<TARGET_FILE:lumora-relay>")
