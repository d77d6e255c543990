# Builds OSC datagrams with the same library the display reads them with.
target_include_directories(${test_name} PRIVATE ${LUMORA_OSCPACK_INCLUDE})
target_link_libraries(${test_name} PRIVATE ${LUMORA_OSCPACK_LIBRARY})
