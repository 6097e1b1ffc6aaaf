# add_fuzz_target(NAME SOURCES ... [LIBS ...] [CORPUS dir] [DICT file] [SECONDS n])
# Builds a libFuzzer target when FUZZ is on, and registers a short bounded run
# over its kept corpus as a CTest test (label fuzz). Longer runs: run the
# binary by hand with -runs=N or -max_total_time=S.
set(FUZZ_SECONDS 10 CACHE STRING "seconds each fuzz target runs under CTest")

# fuzz_coverage(target): a product library built with coverage feedback when
# FUZZ is on, so the fuzz targets that link it see its branches. The product
# keeps one source list; the sanitized build's programs carry the counters.
function(fuzz_coverage target)
  if(FUZZ)
    target_compile_options(${target} PRIVATE -fsanitize=fuzzer-no-link)
  endif()
endfunction()

function(add_fuzz_target name)
  if(NOT FUZZ)
    return()
  endif()
  cmake_parse_arguments(F "" "CORPUS;DICT;SECONDS" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${F_SOURCES})
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_libraries(${name} PRIVATE ${F_LIBS})
  if(NOT F_SECONDS)
    set(F_SECONDS ${FUZZ_SECONDS})
  endif()
  set(args -max_total_time=${F_SECONDS} -timeout=10 -rss_limit_mb=2048 -print_final_stats=1)
  if(F_DICT)
    list(APPEND args -dict=${F_DICT})
  endif()
  # New inputs go to a scratch folder; the kept corpus is only read.
  set(scratch ${CMAKE_CURRENT_BINARY_DIR}/${name}-corpus)
  file(MAKE_DIRECTORY ${scratch})
  add_test(NAME ${name} COMMAND ${name} ${args} ${scratch} ${F_CORPUS})
  math(EXPR limit "${F_SECONDS} + 120")
  set_tests_properties(${name} PROPERTIES LABELS fuzz TIMEOUT ${limit})
endfunction()
