# decoder_bench: exec time of the phase-shift decoder against the remap floor.
if(TARGET zel_phsft_core AND TARGET zel_sim)
  add_executable(decoder_bench ${CMAKE_CURRENT_LIST_DIR}/decoder_bench.cpp)
  target_link_libraries(decoder_bench PRIVATE zel_options zel_phsft_core zel_sim)
endif()
