# The namespace test runs the sampler inside a namespace through this probe.
add_executable(perf_data_netns_probe ${CMAKE_CURRENT_LIST_DIR}/perf_data_netns_probe.cpp)
target_include_directories(perf_data_netns_probe PRIVATE ${PROJECT_SOURCE_DIR}/tests/relay)
target_link_libraries(perf_data_netns_probe PRIVATE tarvel_core)

tarvel_add_test(perf_data_linux_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/perf_data_linux_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/perf_data_netns_test.cpp)
target_include_directories(perf_data_linux_test PRIVATE ${PROJECT_SOURCE_DIR}/tests/relay)
target_compile_definitions(perf_data_linux_test PRIVATE
    TARVEL_NETNS_PROBE="$<TARGET_FILE:perf_data_netns_probe>")
add_dependencies(perf_data_linux_test perf_data_netns_probe)
