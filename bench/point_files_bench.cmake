# Binary PLY load and save of 10,000,000 points against the floor of one
# fread plus the split into xyz and rgb arrays.
add_executable(point_files_bench ${CMAKE_CURRENT_LIST_DIR}/point_files_bench.cpp)
target_link_libraries(point_files_bench PRIVATE zel_options zel_cloud)
