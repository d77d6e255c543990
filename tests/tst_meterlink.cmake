# openpty() for the console's end of the cable.
target_link_libraries(${test_name} PRIVATE util)
