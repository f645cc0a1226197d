# ipc_bench: round trip and throughput of OrvComIpc against a plain
# Unix-socket ping-pong measured in the same run.
add_executable(ipc_bench ${CMAKE_CURRENT_LIST_DIR}/ipc_bench.cpp)
target_link_libraries(ipc_bench PRIVATE zel_options OrvComIpc)
