tarvel_add_test(platform_pieces_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/platform_pieces_test.cpp GUI)
