target_sources(tarvel_core PRIVATE ${CMAKE_CURRENT_LIST_DIR}/single_instance.cpp)
