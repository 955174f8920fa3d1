# Build-wide flags and the helpers every directory uses to declare tests, fuzzers and benchmarks.

add_compile_options(-Wall -Wextra)
if(FIELDBRIDGE_WERROR)
  add_compile_options(-Werror)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    # GCC 12 at -O2 reports out-of-bounds copies inside std::vector::insert that cannot happen;
    # they stay visible as warnings but do not fail the build.
    add_compile_options(-Wno-error=array-bounds -Wno-error=stringop-overflow -Wno-error=stringop-overread)
  endif()
endif()
if(FIELDBRIDGE_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  # The sanitizers' instrumentation makes GCC's flow analysis report uninitialised reads inside
  # the standard library (std::function in std::regex) that the plain build does not see.
  add_compile_options(-Wno-maybe-uninitialized)
  add_link_options(-fsanitize=address,undefined)
endif()

# Subdirectory lists: a directory is added only when its CMakeLists.txt exists. FB_ONLY (a list of
# paths relative to the source root) narrows the build to those directories and their parents,
# for working on one piece while others are half-done.
option(FIELDBRIDGE_STATIC_CXX "Link the C++ runtime statically into the deliverables (host builds)" ON)
set(FB_ONLY "" CACHE STRING "Build only these directories (relative paths); empty builds everything")
function(fb_add_subdirs)
  foreach(dir IN LISTS ARGN)
    if(NOT EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/CMakeLists.txt)
      continue()
    endif()
    file(RELATIVE_PATH rel ${CMAKE_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR}/${dir})
    set(wanted TRUE)
    if(FB_ONLY)
      set(wanted FALSE)
      foreach(only IN LISTS FB_ONLY)
        string(FIND "${only}/" "${rel}/" at)
        if(at EQUAL 0)
          set(wanted TRUE)
        endif()
        string(FIND "${rel}/" "${only}/" at)
        if(at EQUAL 0)
          set(wanted TRUE)
        endif()
      endforeach()
    endif()
    if(wanted)
      add_subdirectory(${dir})
    endif()
  endforeach()
endfunction()

set(FB_TEST_ENV
  "FB_BIN_DIR=${CMAKE_BINARY_DIR}/bin"
  "FB_SOURCE_DIR=${CMAKE_SOURCE_DIR}"
  "FB_BUILD_DIR=${CMAKE_BINARY_DIR}"
  "FIELDBRIDGE_LOG_STDERR=1")

# fb_add_gtest(<name> SOURCES ... [LIBS ...] [LABELS ...] [TIMEOUT s])
# One test executable; each TEST() becomes its own ctest entry.
function(fb_add_gtest name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  find_package(GTest REQUIRED)
  add_executable(${name} ${T_SOURCES})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  # The environment (FB_BIN_DIR, FB_SOURCE_DIR, FB_BUILD_DIR, FIELDBRIDGE_LOG_STDERR) comes from
  # fb_testenv: gtest_discover_tests cannot pass a list of variables through its properties.
  target_link_libraries(${name} PRIVATE fb_testenv ${T_LIBS} GTest::gmock GTest::gtest_main Threads::Threads)
  include(GoogleTest)
  set(props TIMEOUT ${T_TIMEOUT})
  # Tests that start the built programs carry the label "integration" (left out where the
  # programs cannot run, as in a cross build).
  # (One label only: gtest_discover_tests splits list-valued properties.)
  if(CMAKE_CURRENT_SOURCE_DIR MATCHES "/tests/integration(/|$)")
    set(T_LABELS integration)
  endif()
  if(T_LABELS)
    list(APPEND props LABELS ${T_LABELS})
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    PROPERTIES ${props})
endfunction()

# fb_add_fuzzer(<name> SOURCES ... [LIBS ...] [CORPUS dir])
# The sources define LLVMFuzzerTestOneInput. With FIELDBRIDGE_FUZZ (clang) a libFuzzer binary is
# built; in every build a replay runner feeds each file of the committed corpus to the target, so
# crash inputs stay regression tests (and run under the sanitizers in CI).
function(fb_add_fuzzer name)
  cmake_parse_arguments(F "" "CORPUS" "SOURCES;LIBS" ${ARGN})
  add_executable(${name}_replay ${F_SOURCES} ${CMAKE_SOURCE_DIR}/fuzz/replay_main.cpp)
  set_target_properties(${name}_replay PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fuzz)
  target_link_libraries(${name}_replay PRIVATE ${F_LIBS})
  if(F_CORPUS)
    add_test(NAME ${name}_replay COMMAND ${name}_replay ${F_CORPUS})
    set_tests_properties(${name}_replay PROPERTIES ENVIRONMENT "${FB_TEST_ENV}" LABELS fuzz)
  endif()
  if(FIELDBRIDGE_FUZZ)
    add_executable(${name} ${F_SOURCES})
    set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fuzz)
    target_compile_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
    target_link_libraries(${name} PRIVATE ${F_LIBS})
  endif()
endfunction()

# fb_add_bench(<name> SOURCES ... [LIBS ...]): a Google Benchmark program under build/bench.
function(fb_add_bench name)
  cmake_parse_arguments(B "" "" "SOURCES;LIBS" ${ARGN})
  find_package(benchmark REQUIRED)
  add_executable(${name} ${B_SOURCES})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
  # fb_testenv: a benchmark run from anywhere finds the programs it starts in this build.
  target_link_libraries(${name} PRIVATE fb_testenv ${B_LIBS} benchmark::benchmark Threads::Threads)
endfunction()

function(fb_static_runtime target)
  if(FIELDBRIDGE_STATIC_CXX AND NOT FIELDBRIDGE_SANITIZE)
    # One daemon per connection runs for years: the C++ runtime linked in keeps each process's
    # resident memory to the pages it really uses.
    target_link_options(${target} PRIVATE -static-libstdc++ -static-libgcc)
  endif()
endfunction()

# fb_add_helper(<applet> SOURCES ... LIBS ...): the program of an applet that a multi-call program
# starts in its place, built as lib/fieldbridge/<applet> and installed there.
function(fb_add_helper applet)
  cmake_parse_arguments(H "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${applet}_helper ${H_SOURCES})
  target_link_libraries(${applet}_helper PRIVATE ${H_LIBS})
  set_target_properties(${applet}_helper PROPERTIES
    OUTPUT_NAME ${applet} RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/lib/fieldbridge)
  fb_static_runtime(${applet}_helper)
  install(TARGETS ${applet}_helper RUNTIME DESTINATION lib/fieldbridge)
endfunction()

# fb_add_program(<name> SOURCES ... LIBS ... [APPLETS a b c]): a deliverable installed in bin/ with
# one symlink per applet name.
function(fb_add_program name)
  cmake_parse_arguments(P "" "" "SOURCES;LIBS;APPLETS" ${ARGN})
  add_executable(${name} ${P_SOURCES})
  target_link_libraries(${name} PRIVATE ${P_LIBS})
  fb_static_runtime(${name})
  install(TARGETS ${name} RUNTIME DESTINATION bin)
  foreach(applet IN LISTS P_APPLETS)
    add_custom_command(TARGET ${name} POST_BUILD
      COMMAND ${CMAKE_COMMAND} -E create_symlink ${name} ${CMAKE_BINARY_DIR}/bin/${applet})
    install(CODE "execute_process(COMMAND ${CMAKE_COMMAND} -E create_symlink ${name} \$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/bin/${applet})")
  endforeach()
endfunction()
