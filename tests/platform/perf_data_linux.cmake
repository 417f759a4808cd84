tarvel_add_test(perf_data_linux_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/perf_data_linux_test.cpp)
