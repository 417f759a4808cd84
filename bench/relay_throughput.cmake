# Our relay against socat on loopback, run by hand: build relay_throughput and start it.
add_executable(relay_throughput ${CMAKE_CURRENT_LIST_DIR}/relay_throughput.cpp)
target_link_libraries(relay_throughput PRIVATE tarvel_core)
target_include_directories(relay_throughput PRIVATE ${CMAKE_SOURCE_DIR}/tests/relay)
