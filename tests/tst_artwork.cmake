# The test reads the artwork's own layout (meter rectangles, tick columns and
# colours) from the generator's header.
target_include_directories(${test_name} PRIVATE ${PROJECT_SOURCE_DIR}/tools/gen-artwork)
