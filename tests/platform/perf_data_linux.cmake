tarvel_add_test(perf_data_linux_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/perf_data_linux_test.cpp)
target_include_directories(perf_data_linux_test PRIVATE ${PROJECT_SOURCE_DIR}/tests/relay)
