# Virtual head renderer: time of the demo scene's 26 pattern images.
add_executable(render_bench ${CMAKE_CURRENT_LIST_DIR}/render_bench.cpp)
target_link_libraries(render_bench PRIVATE zel_sim OpenMP::OpenMP_CXX)
