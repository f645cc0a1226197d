# gevlink_bench: receive rate and CPU per frame of Gevlink's transport (its
# packet ring and its recvmmsg path) against Aravis receiving the same
# virtual device's stream in the same run (1280 x 1024 Mono8, 1500-byte
# packets, with and without 1 % loss).
if(TARGET gevlink_core AND TARGET zel_sim_gige)
  add_executable(gevlink_bench ${CMAKE_CURRENT_LIST_DIR}/gevlink_bench.cpp
                               ${PROJECT_SOURCE_DIR}/gevlink/tests/fake_device.cpp)
  target_link_libraries(gevlink_bench PRIVATE zel_options gevlink_core zel_sim_gige zel_netns_testing)
endif()
