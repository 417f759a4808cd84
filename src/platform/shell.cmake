if(TARGET tarvel_gui)
    target_sources(tarvel_gui PRIVATE ${CMAKE_CURRENT_LIST_DIR}/shell.cpp)
endif()
