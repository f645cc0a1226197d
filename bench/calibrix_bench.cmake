# Circle board detection time against OpenCV's findCirclesGrid.
add_executable(calibrix_bench ${CMAKE_CURRENT_LIST_DIR}/calibrix_bench.cpp
                              ${PROJECT_SOURCE_DIR}/calibrix/tests/board_image.cpp)
target_link_libraries(calibrix_bench PRIVATE zel_options calibrix_detect)
