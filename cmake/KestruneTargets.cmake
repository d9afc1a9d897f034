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

# Every binary binds its symbols when it is loaded, and its relocated data is then made read-only
# (full RELRO). A symbol bound lazily, at its first call, has the dynamic linker save the caller's
# vector registers on the stack, where they outlive the call: registers that may hold a session key
# at that moment.
add_link_options(LINKER:-z,now LINKER:-z,relro)

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

# What each library can include. A subsystem (a folder src/<name>) shows the libraries of other
# subsystems only its public headers and the headers of its own that they include, in turn; its own
# libraries see the whole of it. Both views are folders of symbolic links in the build tree, made
# at configure time and used as include directories, so an include of a private header from
# outside fails to compile. A header keeps its one name ("engine/core/session_id.hpp") in every
# view and white-box targets put src/ first, so in one translation unit a name always resolves to
# the same path (GCC and clang see through the links for #pragma once all the same).

# kestrune_subsystem(<name> [PUBLIC <headers>...]): declares src/<name> a subsystem; the headers
# are named from src/. Without PUBLIC the whole folder is public (the layers everything builds on).
function(kestrune_subsystem name)
  cmake_parse_arguments(ARG "" "" "PUBLIC" ${ARGN})
  set(src "${PROJECT_SOURCE_DIR}/src")
  set(views "${PROJECT_BINARY_DIR}/include/${name}")
  file(REMOVE_RECURSE "${views}")  # removes the links, never what they point to
  file(MAKE_DIRECTORY "${views}/whole")
  file(CREATE_LINK "${src}/${name}" "${views}/whole/${name}" SYMBOLIC)
  set(public "${views}/whole")
  if(ARG_PUBLIC)
    set(public "${views}/public")
    # The closure over quoted includes of this subsystem's own headers. Each header is read once,
    # so the walk ends after at most as many steps as the folder has headers.
    set(pending ${ARG_PUBLIC})
    set(closure "")
    while(pending)
      list(POP_FRONT pending header)
      if(header IN_LIST closure)
        continue()
      endif()
      if(NOT EXISTS "${src}/${header}")
        message(FATAL_ERROR "src/${header}, in the public view of ${name}, does not exist")
      endif()
      list(APPEND closure "${header}")
      set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${src}/${header}")
      file(STRINGS "${src}/${header}" includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"${name}/")
      foreach(line ${includes})
        string(REGEX REPLACE "^[^\"]*\"([^\"]+)\".*$" "\\1" included "${line}")
        list(APPEND pending "${included}")
      endforeach()
    endwhile()
    foreach(header ${closure})
      get_filename_component(folder "${public}/${header}" DIRECTORY)
      file(MAKE_DIRECTORY "${folder}")
      file(CREATE_LINK "${src}/${header}" "${public}/${header}" SYMBOLIC)
    endforeach()
  endif()
  set_property(GLOBAL PROPERTY KESTRUNE_VIEW_WHOLE_${name} "${views}/whole")
  set_property(GLOBAL PROPERTY KESTRUNE_VIEW_PUBLIC_${name} "${public}")
endfunction()

# kestrune_white_box(<target> [PUBLIC]): tests, the test receiver, benchmarks and fuzz targets see
# the whole of src/, ahead of every subsystem's view (PUBLIC: also whoever links the target).
function(kestrune_white_box target)
  cmake_parse_arguments(ARG "PUBLIC" "" "" ${ARGN})
  set(scope PRIVATE)
  if(ARG_PUBLIC)
    set(scope PUBLIC)
  endif()
  target_include_directories(${target} BEFORE ${scope} "${PROJECT_SOURCE_DIR}/src")
endfunction()

# kestrune_library(<name> [DEPS <targets>...]): the static library kestrune_<name> built from every
# .cpp in the calling folder. Under src/<subsystem>/ it sees its subsystem whole and shows its
# consumers the subsystem's public view; elsewhere (tests/, tools/) it is white-box.
function(kestrune_library name)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/*.cpp")
  set(target kestrune_${name})
  add_library(${target} STATIC ${sources})
  file(RELATIVE_PATH folder "${PROJECT_SOURCE_DIR}/src" "${CMAKE_CURRENT_SOURCE_DIR}")
  if(folder MATCHES "^\\.\\.")
    kestrune_white_box(${target} PUBLIC)
  else()
    string(REGEX REPLACE "/.*$" "" subsystem "${folder}")
    get_property(whole GLOBAL PROPERTY KESTRUNE_VIEW_WHOLE_${subsystem})
    get_property(public GLOBAL PROPERTY KESTRUNE_VIEW_PUBLIC_${subsystem})
    if(NOT whole)
      message(FATAL_ERROR "src/${subsystem} is not declared with kestrune_subsystem()")
    endif()
    target_include_directories(${target} PRIVATE "${whole}" INTERFACE "${public}")
  endif()
  target_link_libraries(${target} PUBLIC ${ARG_DEPS})
  kestrune_warnings(${target})
endfunction()

# kestrune_test(<name> [DEPS <targets>...] [LABELS <labels>...]): one GoogleTest binary from every
# .cpp in the calling folder, each test registered with CTest.
function(kestrune_test name)
  cmake_parse_arguments(ARG "" "" "DEPS;LABELS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/*.cpp")
  add_executable(${name} ${sources})
  kestrune_white_box(${name})
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
  kestrune_white_box(${name})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  kestrune_warnings(${name})
endfunction()
