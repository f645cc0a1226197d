# SGBM decoder exec time against the bare cv::StereoSGBM::compute it wraps.
add_executable(sgbm_bench ${CMAKE_CURRENT_LIST_DIR}/sgbm_bench.cpp
                          ${PROJECT_SOURCE_DIR}/decoder/sgbm/tests/test_scene.cpp)
target_link_libraries(sgbm_bench PRIVATE zel_options zel_sgbm_core)
