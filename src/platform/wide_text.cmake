target_sources(tarvel_core PRIVATE ${CMAKE_CURRENT_LIST_DIR}/wide_text.cpp)
