# usb_capture_bench: capture rate of the two USB plug-ins (OrvCamStcsb,
# OrvCamuEye) on their simulated cameras, full-size 1280 x 1024 frames from a
# head the benchmark publishes.
if(TARGET OrvCamStcsb AND TARGET OrvCamuEye)
  add_executable(usb_capture_bench ${CMAKE_CURRENT_LIST_DIR}/usb_capture_bench.cpp)
  target_link_libraries(usb_capture_bench PRIVATE zel_options dl rt Threads::Threads)
  target_compile_definitions(usb_capture_bench PRIVATE
    ZEL_STCSB_LIBRARY="$<TARGET_FILE:OrvCamStcsb>" ZEL_UEYE_LIBRARY="$<TARGET_FILE:OrvCamuEye>")
  add_dependencies(usb_capture_bench OrvCamStcsb OrvCamuEye)
endif()
