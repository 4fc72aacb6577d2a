# mailshot_fuzz(<name> LIBS <library>...)
# A libFuzzer target: tests/fuzz/<name>.cpp defines LLVMFuzzerTestOneInput;
# its seed corpus is tests/fuzz/corpus/<name>/, its dictionary
# tests/fuzz/<name>.dict where there is one.
#
# With MAILSHOT_FUZZ (a tree of its own, built with Clang) the target is a
# libFuzzer program under AddressSanitizer and UndefinedBehaviorSanitizer,
# and its CTest test fuzzes it for MAILSHOT_FUZZ_SECONDS, every input bound
# in time (-timeout) and memory (-rss_limit_mb, which also caps a single
# allocation); what it finds goes to the build tree, never into the seeds.
# scripts/fuzz.sh runs the targets for longer. Without it, in every other
# build, the target gets a driver that runs each seed once: the target
# keeps compiling and its seeds keep passing, under each build's sanitizers.
# The target "fuzz" builds every fuzz target.

set(MAILSHOT_FUZZ_SECONDS 30 CACHE STRING "Seconds that CTest fuzzes each target for (MAILSHOT_FUZZ)")
# Generous beside what one input of at most 64 KB needs, tight against
# time or memory that grows out of proportion with the input.
set(MAILSHOT_FUZZ_INPUT_BOUNDS -max_len=65536 -timeout=10 -rss_limit_mb=1024)

add_custom_target(fuzz)

function(mailshot_fuzz name)
  cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
  set(seeds ${CMAKE_CURRENT_SOURCE_DIR}/corpus/${name})
  set(dictionary ${CMAKE_CURRENT_SOURCE_DIR}/${name}.dict)
  if(MAILSHOT_FUZZ)
    add_executable(${name} ${name}.cpp)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
    set(found ${CMAKE_CURRENT_BINARY_DIR}/corpus/${name})
    file(MAKE_DIRECTORY ${found})
    set(options -max_total_time=${MAILSHOT_FUZZ_SECONDS} ${MAILSHOT_FUZZ_INPUT_BOUNDS} -print_final_stats=1
                -artifact_prefix=${CMAKE_CURRENT_BINARY_DIR}/${name}-)
    if(EXISTS ${dictionary})
      list(APPEND options -dict=${dictionary})
    endif()
    add_test(NAME ${name} COMMAND ${name} ${options} ${found} ${seeds})
    math(EXPR timeout "${MAILSHOT_FUZZ_SECONDS} + 120")
    set_tests_properties(${name} PROPERTIES TIMEOUT ${timeout} LABELS fuzz)
  else()
    add_executable(${name} ${name}.cpp ${PROJECT_SOURCE_DIR}/tests/fuzz/SeedReplay.cpp)
    add_test(NAME ${name}_seeds COMMAND ${name} ${seeds})
    set_tests_properties(${name}_seeds PROPERTIES TIMEOUT 60 LABELS fuzz)
    mailshot_test_environment(${name}_seeds)
  endif()
  target_link_libraries(${name} PRIVATE ${ARG_LIBS})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  add_dependencies(fuzz ${name})
endfunction()
