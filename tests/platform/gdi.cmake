tarvel_add_test(gdi_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/gdi_test.cpp GUI)
