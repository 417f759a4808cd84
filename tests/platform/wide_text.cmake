tarvel_add_test(wide_text_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/wide_text_test.cpp)
