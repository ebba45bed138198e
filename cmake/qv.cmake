# Build helpers shared by every subsystem's CMakeLists.txt.
#
#   qv_portable_library(name SOURCES ... [LIBS ...])  both builds
#   qv_win_library(name SOURCES ... [LIBS ...])       Windows build only (static)
#   qv_host_test(name SOURCES ... [LIBS ...])         host build, GoogleTest, sanitizers
#   qv_wine_test(name SOURCES ... [LIBS ...])         Windows build, GoogleTest, run under Wine
#   qv_e2e_test(name SOURCES ... [LIBS ...])          host build, drives the .exe files under Wine
# Both Wine kinds take XVFB DEPTH [XVFB_SIZE WxH]: the test then runs on an X
# screen of its own (tests/harness/wine.sh xvfb) instead of headless.
#
# Windows programs and DLLs land in ${QV_BIN}; the harness maps that folder as
# drive P: of the test prefix, so programs run as P:\name.exe.

set(QV_ROOT ${CMAKE_CURRENT_LIST_DIR}/..)
get_filename_component(QV_ROOT ${QV_ROOT} ABSOLUTE)
set(QV_WINE_DIR "${CMAKE_BINARY_DIR}/../wine" CACHE PATH "Wine prefix and mapped drives of the tests")
get_filename_component(QV_WINE_DIR ${QV_WINE_DIR} ABSOLUTE)
set(QV_HARNESS ${QV_ROOT}/tests/harness/wine.sh)
# The tests run the i686 build where this machine executes 32-bit code and the
# x86_64 build (under wine64) where it cannot; the harness tells which.
if(NOT QV_WINE_ARCH)
  execute_process(COMMAND ${QV_HARNESS} arch OUTPUT_VARIABLE qv_arch OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT qv_arch STREQUAL "win64")
    set(qv_arch win32)
  endif()
  set(QV_WINE_ARCH ${qv_arch} CACHE STRING "Windows build the tests run under Wine (win32 or win64)")
endif()
set(QV_WIN32_BIN "${CMAKE_BINARY_DIR}/../${QV_WINE_ARCH}/bin" CACHE PATH "Windows programs the end-to-end tests run")
get_filename_component(QV_WIN32_BIN ${QV_WIN32_BIN} ABSOLUTE)
# The Windows tree whose Wine unit tests run: the one of the tests' architecture.
set(QV_RUNS_WINE_TESTS FALSE)
if(WIN32)
  if((CMAKE_SIZEOF_VOID_P EQUAL 8 AND QV_WINE_ARCH STREQUAL "win64") OR
     (CMAKE_SIZEOF_VOID_P EQUAL 4 AND QV_WINE_ARCH STREQUAL "win32"))
    set(QV_RUNS_WINE_TESTS TRUE)
  endif()
endif()
set(QV_TEST_ENV "QV_WINE_DIR=${QV_WINE_DIR};QV_WIN32_BIN=${QV_WIN32_BIN};QV_WINE_ARCH=${QV_WINE_ARCH}")

if(WIN32)
  set(QV_BIN ${CMAKE_BINARY_DIR}/bin)
  set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${QV_BIN})
  set(CMAKE_LIBRARY_OUTPUT_DIRECTORY ${QV_BIN})
  enable_language(RC)
  add_compile_options(-Wall -Wextra -Wno-unused-parameter -Wno-missing-field-initializers)
  add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601 WINVER=0x0601)
  add_link_options(-static -static-libgcc -static-libstdc++)
  # GoogleTest for the tests that run under Wine, built from Debian's sources.
  if(EXISTS /usr/src/googletest/CMakeLists.txt AND NOT TARGET gtest)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  endif()
else()
  set(QV_HOST_BIN ${CMAKE_BINARY_DIR}/bin)
  set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${QV_HOST_BIN})
  add_compile_options(-Wall -Wextra -Wno-unused-parameter -Wno-missing-field-initializers)
  option(QV_SANITIZE "Build with AddressSanitizer and UBSan" ON)
  if(QV_SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
    add_link_options(-fsanitize=address,undefined)
  endif()
  find_package(GTest REQUIRED)
  find_package(Threads REQUIRED)
  # A clang build with libFuzzer builds the fuzz targets. Under QV_FUZZ
  # (`make fuzz`) every file is compiled with the fuzzer's coverage
  # instrumentation, libraries included, so that libFuzzer sees the
  # parsers' branches and not only its target's own file.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    include(CheckCXXSourceCompiles)
    set(CMAKE_REQUIRED_FLAGS "-fsanitize=fuzzer")
    check_cxx_source_compiles(
      "#include <cstdint>\n#include <cstddef>\nextern \"C\" int LLVMFuzzerTestOneInput(const uint8_t*, size_t) { return 0; }"
      QV_HAVE_LIBFUZZER)
    unset(CMAKE_REQUIRED_FLAGS)
  endif()
  option(QV_FUZZ "Instrument every file for libFuzzer (clang)" OFF)
  if(QV_FUZZ AND QV_HAVE_LIBFUZZER)
    add_compile_options(-fsanitize=fuzzer-no-link)
  endif()
endif()

# The Wine prefix is brought up once per test run and stopped at its end.
function(qv_wine_fixture)
  get_property(done GLOBAL PROPERTY QV_WINE_FIXTURE_DEFINED)
  if(NOT done)
    set_property(GLOBAL PROPERTY QV_WINE_FIXTURE_DEFINED TRUE)
    add_test(NAME qv_wine_up COMMAND ${QV_HARNESS} up)
    add_test(NAME qv_wine_down COMMAND ${QV_HARNESS} down)
    set_tests_properties(qv_wine_up PROPERTIES FIXTURES_SETUP wine
      ENVIRONMENT "${QV_TEST_ENV}")
    set_tests_properties(qv_wine_down PROPERTIES FIXTURES_CLEANUP wine
      ENVIRONMENT "${QV_TEST_ENV}")
  endif()
endfunction()

function(qv_portable_library name)
  cmake_parse_arguments(A "" "" "SOURCES;LIBS" ${ARGN})
  add_library(${name} STATIC ${A_SOURCES})
  target_include_directories(${name} PUBLIC ${QV_ROOT})
  if(A_LIBS)
    target_link_libraries(${name} PUBLIC ${A_LIBS})
  endif()
endfunction()

function(qv_win_library name)
  if(WIN32)
    qv_portable_library(${name} ${ARGN})
  endif()
endfunction()

function(qv_host_test name)
  if(WIN32)
    return()
  endif()
  cmake_parse_arguments(A "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${A_SOURCES})
  target_include_directories(${name} PRIVATE ${QV_ROOT})
  target_link_libraries(${name} PRIVATE ${A_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  add_test(NAME ${name} COMMAND ${name})
endfunction()

# The command prefix that runs a test under Xvfb when XVFB DEPTH was given.
function(qv_xvfb_prefix out depth size)
  set(cmd)
  if(depth)
    set(cmd ${QV_HARNESS} xvfb ${depth})
    if(size)
      list(APPEND cmd ${size})
    endif()
    list(APPEND cmd --)
  endif()
  set(${out} ${cmd} PARENT_SCOPE)
endfunction()

function(qv_wine_test name)
  if(NOT WIN32)
    return()
  endif()
  cmake_parse_arguments(A "" "XVFB;XVFB_SIZE" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${A_SOURCES})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/wtests)
  target_include_directories(${name} PRIVATE ${QV_ROOT})
  target_link_libraries(${name} PRIVATE ${A_LIBS} gtest gtest_main)
  if(NOT QV_RUNS_WINE_TESTS)
    return()
  endif()
  qv_wine_fixture()
  qv_xvfb_prefix(xvfb "${A_XVFB}" "${A_XVFB_SIZE}")
  add_test(NAME ${name} COMMAND ${xvfb} ${QV_HARNESS} run-unix $<TARGET_FILE:${name}>)
  set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED wine RESOURCE_LOCK wine
    ENVIRONMENT "${QV_TEST_ENV}")
endfunction()

function(qv_e2e_test name)
  if(WIN32)
    return()
  endif()
  cmake_parse_arguments(A "" "XVFB;XVFB_SIZE" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${A_SOURCES})
  target_include_directories(${name} PRIVATE ${QV_ROOT})
  target_link_libraries(${name} PRIVATE qv_e2e_support ${A_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  qv_wine_fixture()
  qv_xvfb_prefix(xvfb "${A_XVFB}" "${A_XVFB_SIZE}")
  add_test(NAME ${name} COMMAND ${xvfb} $<TARGET_FILE:${name}>)
  set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED wine RESOURCE_LOCK wine
    ENVIRONMENT "${QV_TEST_ENV};QV_HARNESS=${QV_HARNESS};QV_ROOT=${QV_ROOT};QV_HOST_BIN=${QV_HOST_BIN}")
endfunction()

# A libFuzzer target for one parser, built when the host compiler is clang
# with libFuzzer (`make fuzz` sets up such a tree and runs every target):
#   qv_fuzz_target(name SOURCES fuzz/x_fuzz.cpp LIBS ...)
# Its seeds are the files of fuzz/corpus/<name> beside the caller's
# CMakeLists.txt, a libFuzzer dictionary may sit beside them as
# fuzz/<name>.dict. Where seeds exist, every host build also runs the target
# over them and over a few thousand inputs mutated from them under the
# sanitizers (test <name>_seeds, common/fuzz_seeds_test.cpp); some targets
# have a GoogleTest driver of their own instead.
function(qv_fuzz_target name)
  cmake_parse_arguments(A "" "ROUNDS" "SOURCES;LIBS" ${ARGN})
  set(seeds ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/corpus/${name})
  if(NOT WIN32 AND IS_DIRECTORY ${seeds})
    if(NOT A_ROUNDS)
      set(A_ROUNDS 3000)
    endif()
    qv_host_test(${name}_seeds SOURCES ${A_SOURCES} ${QV_ROOT}/common/fuzz_seeds_test.cpp LIBS ${A_LIBS})
    target_compile_definitions(${name}_seeds PRIVATE QV_FUZZ_SEEDS="${seeds}" QV_FUZZ_ROUNDS=${A_ROUNDS})
  endif()
  if(WIN32 OR NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang" OR NOT QV_HAVE_LIBFUZZER)
    return()
  endif()
  add_executable(${name} ${A_SOURCES})
  target_include_directories(${name} PRIVATE ${QV_ROOT})
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_libraries(${name} PRIVATE ${A_LIBS})
  set_property(GLOBAL APPEND PROPERTY QV_FUZZ_TARGETS ${name})
endfunction()
