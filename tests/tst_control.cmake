# Builds OSC datagrams with the same library the display reads them with.
target_link_libraries(${test_name} PRIVATE oscpack::oscpack)
