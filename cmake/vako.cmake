include(GoogleTest)

# The build whose tests the appliance runs: this one, or the cross build
# that a nested build of this machine's programs serves.
if(VAKO_HOST_TOOLS_FOR)
  set(VAKO_TARGET_BINARY_DIR "${VAKO_HOST_TOOLS_FOR}")
else()
  set(VAKO_TARGET_BINARY_DIR "${CMAKE_BINARY_DIR}")
endif()

# The sandbox runner that every test binary of the libraries and of the
# updater runs under: product code uses the appliance's fixed paths, which
# must never be those of the build machine.  A cross build takes it from
# its nested build for this machine (host/).
if(CMAKE_CROSSCOMPILING)
  set(VAKO_SANDBOX "${CMAKE_BINARY_DIR}/host/appliance/vako-sandbox")
else()
  set(VAKO_SANDBOX "${CMAKE_BINARY_DIR}/appliance/vako-sandbox")
endif()

# The kernel stand-in, one build per processor under preload/lib/<multiarch>/
# and preloaded as preload/$LIB/: the dynamic linker of each process (the
# 32-bit updater, the 64-bit /bin/dd it starts) picks its own.
if(NOT CMAKE_LIBRARY_ARCHITECTURE)
  message(FATAL_ERROR "no multiarch directory for this compiler: the kernel stand-in needs one")
endif()
set(VAKO_PRELOAD_DIR "${VAKO_TARGET_BINARY_DIR}/appliance/preload")
set(VAKO_KSTUB_PRELOAD "${VAKO_PRELOAD_DIR}/$LIB/libvako-kstub.so")
set(VAKO_KSTUB_FILE "${VAKO_PRELOAD_DIR}/lib/${CMAKE_LIBRARY_ARCHITECTURE}/libvako-kstub.so")

# vako_product_sources(<var>): the product sources of the current directory,
# every <area>.cpp: whatever serves tests or benchmarks (a name holding
# _test, _bench or _testutil, or beginning with test) never ships.
function(vako_product_sources var)
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  list(FILTER srcs EXCLUDE REGEX "/([^/]*_(test|bench|testutil)[^/]*|test[^/]*)\\.cpp$")
  set(${var} ${srcs} PARENT_SCOPE)
endfunction()

# vako_library(<target> <include-dir>): one shared library of the product
# sources of the current directory.
function(vako_library target incdir)
  vako_product_sources(srcs)
  add_library(${target} SHARED ${srcs})
  target_include_directories(${target} PUBLIC ${incdir})
  target_link_libraries(${target} PRIVATE vako_flags)
  # The C++ inside (the product kit of slibcxx/, the standard library's
  # inline members) stays inside: the library exports what its own sources
  # define, not the inline functions it happens to emit.
  target_compile_options(${target} PRIVATE -fvisibility-inlines-hidden)
endfunction()

# The test binaries some of whose tests start the appliance's database
# service: their tests wait for the cluster it copies (appliance.PgsqlCluster).
set(VAKO_PGSQL_TEST_BINARIES updater_tests e2e_tests)

# vako_tests(<target> LIBS <libs...>): the <area>_test.cpp files of the
# current directory as one GoogleTest binary, each case a CTest test run in
# its own throwaway appliance.
function(vako_tests target)
  cmake_parse_arguments(T "" "" "LIBS;SOURCES" ${ARGN})
  file(GLOB tsrcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
  list(APPEND tsrcs ${T_SOURCES})
  if(NOT tsrcs)
    return()
  endif()
  add_executable(${target} ${tsrcs})
  target_link_libraries(${target} PRIVATE ${T_LIBS} vako_testmain GTest::gtest GTest::gmock vako_test_flags)
  add_dependencies(${target} vako_appliance)
  # A program of another processor runs under its emulator inside the
  # sandbox (given the sandbox's options for it by the toolchain file).
  set(runner "${VAKO_SANDBOX}" ${VAKO_SANDBOX_OPTIONS} "--")
  if(CMAKE_CROSSCOMPILING_EMULATOR)
    list(APPEND runner ${CMAKE_CROSSCOMPILING_EMULATOR})
  endif()
  set_target_properties(${target} PROPERTIES CROSSCOMPILING_EMULATOR "${runner}")
  set(props TIMEOUT 300 LABELS ${target})
  if(target IN_LIST VAKO_PGSQL_TEST_BINARIES)
    list(APPEND props FIXTURES_REQUIRED vako_pgsql)
  endif()
  gtest_discover_tests(${target} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120 PROPERTIES ${props})
  # Tests the emulator of this build cannot carry ("<test>: <why>" in
  # VAKO_NOT_EMULATED): disabled once discovered, each named with its reason.
  if(VAKO_NOT_EMULATED)
    set(body "")
    foreach(entry IN LISTS VAKO_NOT_EMULATED)
      string(REGEX MATCH "^([^:]+): (.+)$" matched "${entry}")
      # (list(FIND): ctest reads this under the old policies, without IN_LIST.)
      string(APPEND body "list(FIND ${target}_TESTS \"${CMAKE_MATCH_1}\" at)\nif(NOT at EQUAL -1)\n"
        "  set_tests_properties(\"${CMAKE_MATCH_1}\" PROPERTIES DISABLED TRUE)\n"
        "  message(\"not run under the emulator, left to the native builds: ${CMAKE_MATCH_1} (${CMAKE_MATCH_2})\")\n"
        "endif()\n")
    endforeach()
    set(script "${CMAKE_CURRENT_BINARY_DIR}/${target}_not_emulated.cmake")
    file(WRITE "${script}" "${body}")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${script}")
  endif()
endfunction()

# vako_benchmarks(<target> LIBS <libs...>): the <area>_bench.cpp files
# (none in the builds that look for no benchmark library).
function(vako_benchmarks target)
  if(NOT VAKO_BENCHMARKS OR NOT TARGET benchmark::benchmark)
    return()
  endif()
  cmake_parse_arguments(B "" "" "LIBS" ${ARGN})
  file(GLOB bsrcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_bench.cpp)
  if(NOT bsrcs)
    return()
  endif()
  add_executable(${target} ${bsrcs})
  target_link_libraries(${target} PRIVATE ${B_LIBS} benchmark::benchmark_main benchmark::benchmark vako_testkit vako_flags)
endfunction()
