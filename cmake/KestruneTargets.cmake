# Helpers that give every target of the project the same shape.

# Warnings as errors for our own code only.
function(kestrune_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wconversion
                         -Wno-sign-conversion -Werror)
  # GCC 12 at -O3 reports overlapping copies inside libstdc++'s basic_string::_M_replace for
  # ordinary string code (`"[" + text`, even `s = "literal"`): a false positive of that release
  # (GCC bug 105329, fixed in GCC 13), not something a rewrite of our lines can avoid for good.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_GREATER_EQUAL 12
     AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    target_compile_options(${target} PRIVATE -Wno-restrict)
  endif()
endfunction()

if(KESTRUNE_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
elseif(KESTRUNE_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT KESTRUNE_SANITIZE STREQUAL "")
  message(FATAL_ERROR "KESTRUNE_SANITIZE must be empty, address or thread")
endif()
if(KESTRUNE_FUZZ)
  # Coverage for every library; the fuzzer's own main is linked into the fuzz targets only.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# kestrune_library(<name> [DEPS <targets>...]): the static library kestrune_<name> built from every
# .cpp in the calling folder.
function(kestrune_library name)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/*.cpp")
  set(target kestrune_${name})
  add_library(${target} STATIC ${sources})
  target_include_directories(${target} PUBLIC "${PROJECT_SOURCE_DIR}/src")
  target_link_libraries(${target} PUBLIC ${ARG_DEPS})
  kestrune_warnings(${target})
endfunction()

# kestrune_test(<name> [DEPS <targets>...] [LABELS <labels>...]): one GoogleTest binary from every
# .cpp in the calling folder, each test registered with CTest.
function(kestrune_test name)
  cmake_parse_arguments(ARG "" "" "DEPS;LABELS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/*.cpp")
  add_executable(${name} ${sources})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} kestrune_test_support GTest::gtest
                        GTest::gmock GTest::gtest_main)
  kestrune_warnings(${name})
  include(GoogleTest)
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                       PROPERTIES LABELS "${ARG_LABELS}" TIMEOUT 300)
endfunction()

# kestrune_fuzz_target(<name> <source> [DEPS <targets>...]): a libFuzzer binary.
function(kestrune_fuzz_target name source)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  add_executable(${name} ${source})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  kestrune_warnings(${name})
endfunction()
