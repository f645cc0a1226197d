# gige_device_bench: GVSP throughput of one sim/gige Device on loopback with
# 1500- and 8192-byte packets, received by a plain UDP socket.
add_executable(gige_device_bench ${CMAKE_CURRENT_LIST_DIR}/gige_device_bench.cpp)
target_link_libraries(gige_device_bench PRIVATE zel_options zel_sim_gige)
