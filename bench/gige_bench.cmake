# Live head over GigE Vision: frames/s, MB/s, loss and server CPU per frame
# with Aravis receiving in the same run (inside a private network namespace).
find_package(PkgConfig QUIET)
if(PkgConfig_FOUND)
  pkg_check_modules(GIGE_BENCH_ARAVIS IMPORTED_TARGET aravis-0.8)
endif()
if(GIGE_BENCH_ARAVIS_FOUND)
  add_executable(gige_bench ${CMAKE_CURRENT_LIST_DIR}/gige_bench.cpp)
  target_link_libraries(gige_bench PRIVATE zel_options zel_sim_head zel_netns_testing PkgConfig::GIGE_BENCH_ARAVIS)
endif()
