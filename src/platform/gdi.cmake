if(TARGET tarvel_gui)
    target_sources(tarvel_gui PRIVATE
        ${CMAKE_CURRENT_LIST_DIR}/gdi.cpp
        ${CMAKE_CURRENT_LIST_DIR}/system_colors.cpp)
endif()
