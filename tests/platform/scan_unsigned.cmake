tarvel_add_test(scan_unsigned_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/scan_unsigned_test.cpp)
