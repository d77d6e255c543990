# HTTP and WebSocket round trips on loopback; QtWebSockets is the client.
find_package(Qt5 REQUIRED COMPONENTS WebSockets)
target_link_libraries(${test_name} PRIVATE lumora_control Qt5::WebSockets Qt5::Network)
