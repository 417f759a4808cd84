tarvel_add_test(region_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/region_test.cpp)
