# nubiview: frame time with 1,000,000 and 10,000,000 points and the reload
# time of a 10,000,000-point file. Needs an X display (xvfb-run).
if(TARGET nubiview_gl AND TARGET zel_cloud)
  add_executable(viewer_bench ${CMAKE_CURRENT_LIST_DIR}/viewer_bench.cpp)
  target_link_libraries(viewer_bench PRIVATE zel_options nubiview_gl nubiview_cloud zel_cloud glfw)
endif()
