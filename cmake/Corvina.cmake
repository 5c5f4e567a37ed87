# Shared compile settings and the helpers every subsystem uses to declare its targets.

add_library(corvina_settings INTERFACE)
target_include_directories(corvina_settings INTERFACE ${PROJECT_SOURCE_DIR})
target_compile_options(corvina_settings INTERFACE -Wall -Wextra -Wno-unused-parameter)
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  # g++ 12 at -O3 reports impossible overlaps inside std::string copies (a known false positive).
  target_compile_options(corvina_settings INTERFACE -Wno-restrict)
endif()
if(CORVINA_WERROR)
  target_compile_options(corvina_settings INTERFACE -Werror)
endif()
target_compile_definitions(corvina_settings INTERFACE
  CORVINA_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
  CORVINA_VERSION="${PROJECT_VERSION}")

if(CORVINA_SANITIZE)
  add_compile_options(-fsanitize=${CORVINA_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${CORVINA_SANITIZE})
endif()
if(CORVINA_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "CORVINA_FUZZ needs clang")
  endif()
  # Libraries get coverage instrumentation; only the fuzz executables link libFuzzer's main.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=all)
  add_link_options(-fsanitize=address,undefined)
endif()

find_package(Threads REQUIRED)
find_package(PkgConfig REQUIRED)
pkg_check_modules(LZO2 REQUIRED IMPORTED_TARGET lzo2)

# corvina_library(<name> SOURCES ... [DEPS ...])
function(corvina_library name)
  cmake_parse_arguments(A "" "" "SOURCES;DEPS" ${ARGN})
  if(A_SOURCES)
    # Built only when something links it, so partial builds (TSan, fuzz) stay small.
    add_library(${name} STATIC EXCLUDE_FROM_ALL ${A_SOURCES})
    target_link_libraries(${name} PUBLIC corvina_settings ${A_DEPS})
  else() # headers only so far
    add_library(${name} INTERFACE)
    target_link_libraries(${name} INTERFACE corvina_settings ${A_DEPS})
  endif()
endfunction()

# corvina_test(<name> SOURCES ... [DEPS ...] [LABELS ...] [ENVIRONMENT VAR=value ...]): one GoogleTest
# executable per subsystem.
function(corvina_test name)
  if(NOT CORVINA_TESTS)
    return()
  endif()
  cmake_parse_arguments(A "" "" "SOURCES;DEPS;LABELS;ENVIRONMENT" ${ARGN})
  if(CORVINA_THREAD_TESTS_ONLY AND NOT "threads" IN_LIST A_LABELS)
    return()
  endif()
  add_executable(${name} ${A_SOURCES})
  target_link_libraries(${name} PRIVATE corvina_settings ${A_DEPS} GTest::gtest GTest::gmock GTest::gtest_main)
  set(props)
  if(A_LABELS)
    list(APPEND props LABELS "${A_LABELS}")
  endif()
  if(A_ENVIRONMENT)
    list(APPEND props ENVIRONMENT "${A_ENVIRONMENT}")
  endif()
  if(props)
    list(PREPEND props PROPERTIES)
  endif()

  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR} ${props})
endfunction()

# corvina_bench(<name> SOURCES ... [DEPS ...]): a Google Benchmark executable in bin/.
function(corvina_bench name)
  if(NOT CORVINA_BENCH)
    return()
  endif()
  cmake_parse_arguments(A "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${A_SOURCES})
  target_link_libraries(${name} PRIVATE corvina_settings ${A_DEPS} benchmark::benchmark)
endfunction()

# corvina_fuzz(<name> SOURCES ... [DEPS ...]): a libFuzzer target in bin/, corpus in tests/fuzz/corpus/<name>.
function(corvina_fuzz name)
  if(NOT CORVINA_FUZZ)
    return()
  endif()
  cmake_parse_arguments(A "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${A_SOURCES})
  target_link_libraries(${name} PRIVATE corvina_settings ${A_DEPS})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
endfunction()
