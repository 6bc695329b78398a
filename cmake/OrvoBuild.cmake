# Shared build settings: warnings, sanitizers and helpers for tests and fuzzers.

add_library(orvo_warnings INTERFACE)
target_compile_options(orvo_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wnon-virtual-dtor -Woverloaded-virtual
  $<$<BOOL:${ORVO_WERROR}>:-Werror>)

if(ORVO_SANITIZE)
  add_compile_options(-fsanitize=${ORVO_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${ORVO_SANITIZE})
endif()
if(ORVO_FUZZ)
  # Undefined behaviour must stop the run like any other fault, so that
  # libFuzzer keeps the input as a crash file.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=address,undefined)
endif()

# Preloaded into every test labelled `jack` (tests/mixer/midi/jack_cycle_delay.c):
# it holds each MIDI output's process cycle between its port check and its
# read, so a teardown that frees what a cycle reads fails on every run. A
# sanitizer's runtime must stay first among the preloaded libraries.
set(ORVO_JACK_CYCLE_DELAY_DIR ${CMAKE_BINARY_DIR}/tests/preload)
set(ORVO_JACK_TEST_PRELOAD ${ORVO_JACK_CYCLE_DELAY_DIR}/liborvo_jack_cycle_delay.so)
foreach(runtime IN ITEMS address:asan thread:tsan)
  string(REPLACE ":" ";" pair ${runtime})
  list(GET pair 0 sanitizer)
  list(GET pair 1 lib)
  if(ORVO_SANITIZE MATCHES ${sanitizer})
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=lib${lib}.so
                    OUTPUT_VARIABLE runtime_path OUTPUT_STRIP_TRAILING_WHITESPACE)
    set(ORVO_JACK_TEST_PRELOAD "${runtime_path}:${ORVO_JACK_TEST_PRELOAD}")
  endif()
endforeach()

# orvo_add_gtest(<name> SOURCES ... [LIBS ...] [LABELS ...])
# One GoogleTest executable; its cases are registered with CTest one by one.
function(orvo_add_gtest name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main orvo_warnings)
  # NO_PRETTY_VALUES: a test is named by its generator's name or index, never
  # by a dump of its parameter's bytes (padding and pointers differ from
  # build to build, and so would the names).
  gtest_discover_tests(${name}
    NO_PRETTY_VALUES
    DISCOVERY_TIMEOUT 60
    PROPERTIES LABELS unit TIMEOUT 300)
  # gtest_discover_tests cannot pass a list-valued property (the labels after
  # the first turn into property names), so further labels are set by a
  # script that CTest runs after the discovered tests are defined.
  # Tests on the shared JACK server run one at a time: parallel clients that
  # probe each other's ports, on a loaded machine, make the server miss cycles.
  if(ARG_LABELS)
    set(extra "")
    if("jack" IN_LIST ARG_LABELS)
      set(extra " RESOURCE_LOCK jack ENVIRONMENT \"LD_PRELOAD=${ORVO_JACK_TEST_PRELOAD}\"")
      add_dependencies(${name} orvo_jack_cycle_delay)
    endif()
    # `realtime`: streams at real-time priority in processes of its own; it
    # takes the JACK tests' lock, as such streams starve the JACK server.
    if("realtime" IN_LIST ARG_LABELS AND NOT "jack" IN_LIST ARG_LABELS)
      set(extra " RESOURCE_LOCK jack")
    endif()
    # `timing`: holds how well streams keep real time across processes; the
    # asan preset leaves it out, as instrumented hosts run too late for it.
    # `alone`: a long real-time exchange that a fully loaded machine stretches
    # past the product's own time-outs runs with no other test beside it.
    if("alone" IN_LIST ARG_LABELS)
      string(APPEND extra " RUN_SERIAL TRUE")
    endif()
    set(labels_script "${CMAKE_CURRENT_BINARY_DIR}/${name}_labels.cmake")
    file(WRITE "${labels_script}"
      "foreach(t IN LISTS ${name}_TESTS)\n"
      "  set_tests_properties(\"\${t}\" PROPERTIES LABELS \"unit;${ARG_LABELS}\"${extra})\n"
      "endforeach()\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${labels_script}")
  endif()
endfunction()

# orvo_add_fuzzer(<name> SOURCES ... [LIBS ...]): built only in the fuzz preset,
# into <build>/fuzz/, where scripts/fuzz-smoke finds it. Name it fuzz_<what>.
function(orvo_add_fuzzer name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  if(NOT ORVO_FUZZ)
    return()
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} orvo_warnings)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fuzz)
endfunction()

# orvo_add_bench(<name> SOURCES ... [LIBS ...]): a timing program run by `make bench`.
function(orvo_add_bench name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} orvo_warnings)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
endfunction()

# orvo_add_qttest(<name> SOURCES ... [LIBS ...] [LABELS ...]): one QtTest
# program, registered as one CTest test, on Qt's offscreen platform.
function(orvo_add_qttest name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} Qt5::Test orvo_warnings)
  set_target_properties(${name} PROPERTIES AUTOMOC ON)
  add_test(NAME ${name} COMMAND ${name})
  set(env "QT_QPA_PLATFORM=offscreen")
  if(ORVO_SANITIZE MATCHES "address")
    # Full stacks, so that the suppressions for Qt's own leaks find Qt's
    # frames (scripts/lsan.supp).
    list(APPEND env "ASAN_OPTIONS=fast_unwind_on_malloc=0")
  endif()
  set_tests_properties(${name} PROPERTIES
    LABELS "unit;${ARG_LABELS}" TIMEOUT 300 ENVIRONMENT "${env}")
endfunction()
