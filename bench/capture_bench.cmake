# capture_bench: time per 13-pattern shot through each GigE plug-in and the
# frame delivery cost against memcpy, with Aravis's fake cameras in a private
# network namespace.
if(TARGET OrvCamAce AND TARGET OrvCameBUS AND TARGET zel_netns_testing)
  add_executable(capture_bench ${CMAKE_CURRENT_LIST_DIR}/capture_bench.cpp)
  target_link_libraries(capture_bench PRIVATE zel_options zel_plugin_host_testing zel_netns_testing)
  target_compile_definitions(capture_bench PRIVATE ZEL_PLUGIN_DIR="${CMAKE_LIBRARY_OUTPUT_DIRECTORY}")
  add_dependencies(capture_bench OrvCamAce OrvCameBUS OrvCamStGigE)
endif()
