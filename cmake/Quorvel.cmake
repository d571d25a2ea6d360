# Build helpers shared by every folder.

add_compile_options(-Wall -Wextra)
if(QUORVEL_WERROR)
  add_compile_options(-Werror)
endif()
if(QUORVEL_SANITIZE AND QUORVEL_TSAN)
  message(FATAL_ERROR "QUORVEL_SANITIZE and QUORVEL_TSAN cannot be combined")
endif()
if(QUORVEL_TSAN)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()
if(QUORVEL_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# quorvel_library(<name> <sources>...): one of the system's own static libraries.
function(quorvel_library name)
  add_library(${name} STATIC ${ARGN})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
endfunction()

# quorvel_component(<name> SOURCES <files>... LIBS <libs>...): an in-process
# component library that exports only the four Dll* entry points.
function(quorvel_component name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_library(${name} MODULE ${ARG_SOURCES})
  set_target_properties(${name} PROPERTIES PREFIX "lib")
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} qvplatform)
  target_link_options(${name} PRIVATE
    "-Wl,--version-script=${PROJECT_SOURCE_DIR}/cmake/component.map" -Wl,--no-undefined)
endfunction()

# quorvel_test(<name> SOURCES <files>... LIBS <libs>... [ENV <k=v>...]): a GoogleTest
# binary registered with CTest. Every test gets a private registry, runtime and
# unit directory so that no test touches the machine's own.
function(quorvel_test name)
  if(NOT QUORVEL_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;ENV" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} qvplatform GTest::gtest GTest::gmock
                        GTest::gtest_main)
  set(scratch "${CMAKE_BINARY_DIR}/test-scratch/${name}")
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES
    ENVIRONMENT "QUORVEL_REGISTRY=${scratch}/registry;QUORVEL_RUNTIME_DIR=${scratch}/run;QUORVEL_UNIT_DIR=${scratch}/units;QUORVEL_EVENTLOG_FILE=${scratch}/eventlog.txt;ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1;UBSAN_OPTIONS=print_stacktrace=1;TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1;${ARG_ENV}"
    TIMEOUT 600)
  file(MAKE_DIRECTORY "${scratch}")
endfunction()

# quorvel_benchmark(<name> SOURCES <files>... LIBS <libs>...): built, never run by the tests.
function(quorvel_benchmark name)
  if(NOT QUORVEL_BUILD_BENCHMARKS OR NOT benchmark_FOUND)
    return()
  endif()
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} qvplatform benchmark::benchmark)
endfunction()
