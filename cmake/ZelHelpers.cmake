# Shared build settings: every target links zel_options.
add_library(zel_options INTERFACE)
target_compile_features(zel_options INTERFACE cxx_std_20)
target_compile_options(zel_options INTERFACE -Wall -Wextra
  $<$<BOOL:${ZEL_WERROR}>:-Werror>)
if(ZEL_SANITIZE)
  target_compile_options(zel_options INTERFACE
    -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  target_link_options(zel_options INTERFACE -fsanitize=address,undefined)
endif()
if(ZEL_FUZZ)
  # Coverage instrumentation for all code, so fuzzers learn from inside the
  # libraries; the fuzz targets themselves link the libFuzzer driver.
  target_compile_options(zel_options INTERFACE -fsanitize=fuzzer-no-link)
endif()
target_include_directories(zel_options INTERFACE ${PROJECT_SOURCE_DIR}/include ${PROJECT_SOURCE_DIR})

# zel_add_gtest(NAME name LABELS l1 [l2] SOURCES ... LIBS ...)
# One GoogleTest executable per module; tests are discovered when ctest runs.
function(zel_add_gtest)
  cmake_parse_arguments(T "" "NAME;TIMEOUT" "LABELS;SOURCES;LIBS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE zel_options GTest::gtest GTest::gtest_main ${T_LIBS})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  gtest_discover_tests(${T_NAME}
    DISCOVERY_MODE PRE_TEST
    WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
    PROPERTIES LABELS "${T_LABELS}" TIMEOUT ${T_TIMEOUT}
      # One variable only: a list would be split by the discovery script. The
      # test presets also set ZEL_SOURCE_DIR and ZEL_BINARY_DIR.
      ENVIRONMENT "ZEL_BINARY_DIR=${PROJECT_BINARY_DIR}")
endfunction()

# zel_add_fuzzer(NAME name SOURCES ... LIBS ...): a libFuzzer target fuzz_<name>,
# built only with ZEL_FUZZ (clang). Its seed corpus is <module>/fuzz/corpus/<name>/;
# scripts/fuzz runs every fuzzer of the target zel_fuzzers.
if(ZEL_FUZZ)
  add_custom_target(zel_fuzzers)
endif()
function(zel_add_fuzzer)
  cmake_parse_arguments(F "" "NAME" "SOURCES;LIBS" ${ARGN})
  if(NOT ZEL_FUZZ)
    return()
  endif()
  set(F_NAME fuzz_${F_NAME})
  add_executable(${F_NAME} ${F_SOURCES})
  add_dependencies(zel_fuzzers ${F_NAME})
  target_compile_options(${F_NAME} PRIVATE -fsanitize=fuzzer)
  target_link_options(${F_NAME} PRIVATE -fsanitize=fuzzer)
  target_link_libraries(${F_NAME} PRIVATE zel_options ${F_LIBS})
endfunction()
