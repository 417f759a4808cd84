find_package(benchmark REQUIRED)
add_executable(traffic_bench ${CMAKE_CURRENT_LIST_DIR}/traffic_bench.cpp)
target_link_libraries(traffic_bench PRIVATE tarvel_core benchmark::benchmark)

if(TARGET tarvel_gui)
    add_executable(traffic_paint_bench ${CMAKE_CURRENT_LIST_DIR}/traffic_paint_bench.cpp)
    target_link_libraries(traffic_paint_bench PRIVATE tarvel_gui benchmark::benchmark)
    # The reference for bench/idle_cpu.sh: a bare dialog repainting as often as the graph.
    add_executable(idle_reference ${CMAKE_CURRENT_LIST_DIR}/idle_reference.cpp)
    target_link_libraries(idle_reference PRIVATE tarvel_build_settings Qt6::Widgets)
endif()
