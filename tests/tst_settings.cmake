# Every key of the store must be described in the README's settings table.
target_compile_definitions(tst_settings PRIVATE LUMORA_README="${CMAKE_SOURCE_DIR}/README.md")
