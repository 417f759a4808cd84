target_sources(tarvel_core PRIVATE ${CMAKE_CURRENT_LIST_DIR}/perf_data_linux.cpp)
