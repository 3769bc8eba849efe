find_package(GTest REQUIRED)
# The limit of each GoogleTest case; an emulated CPU (scripts/cross-test.sh,
# qemu-user) takes longer than 300 s for the widest formatter comparison.
set(RORODIRE_TEST_TIMEOUT 300 CACHE STRING "Seconds each GoogleTest case may take")
include(GoogleTest)

set(RORODIRE_INTEROP_DIR "${CMAKE_SOURCE_DIR}/../shared/interop" CACHE PATH "Real-world PDUs from operators")

file(GLOB TEST_SUPPORT_SOURCES CONFIGURE_DEPENDS tests/support/*.cpp)
add_library(rr_test_support STATIC ${TEST_SUPPORT_SOURCES})
target_include_directories(rr_test_support PUBLIC tests/support)
target_link_libraries(rr_test_support PUBLIC rr_common GTest::gtest PkgConfig::GLIB)
rr_harness(rr_test_support)
target_compile_definitions(rr_test_support PUBLIC
  RR_INTEROP_DIR="${RORODIRE_INTEROP_DIR}"
  RR_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
  RR_BINARY_DIR="${CMAKE_BINARY_DIR}")

# One executable per tests/<module>_<topic>_test.cpp. The file name's first
# word picks the module it needs; files with "_net" in their name use the
# real osal (real sockets and timers), all others the scripted one.
file(GLOB TEST_SOURCES CONFIGURE_DEPENDS tests/*_test.cpp)
foreach(src ${TEST_SOURCES})
  get_filename_component(name ${src} NAME_WE)
  string(REGEX MATCH "^[a-z]+" mod ${name})
  if(TARGET rr_${mod})
    set(libs rr_${mod})
  else()
    set(libs rr_all)
  endif()
  if(name MATCHES "_net")
    set(osal_lib osal)
  else()
    set(osal_lib osal_scripted)
  endif()
  add_executable(${name} ${src})
  target_link_libraries(${name} PRIVATE ${libs} rr_test_support GTest::gtest_main GTest::gmock)
  rr_use_osal(${name} ${osal_lib})
  rr_harness(${name})
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT ${RORODIRE_TEST_TIMEOUT} ENVIRONMENT "RR_TEST=1")
endforeach()

# Every fuzz target replays its corpus once in the test run: in a libFuzzer
# build the target itself does it (-runs=0), elsewhere the target is linked
# with a plain main that passes every corpus file to it.
file(GLOB FUZZ_SOURCES CONFIGURE_DEPENDS fuzz/fuzz_*.cpp)
if(RORODIRE_FUZZ)
  foreach(src ${FUZZ_SOURCES})
    get_filename_component(name ${src} NAME_WE)
    add_test(NAME corpus_${name}
      COMMAND ${name} -runs=0 ${CMAKE_SOURCE_DIR}/fuzz/corpus/${name})
    set_tests_properties(corpus_${name} PROPERTIES TIMEOUT 600)
  endforeach()
else()
  add_library(rr_replay_main OBJECT fuzz/replay_main.cpp)
  rr_harness(rr_replay_main)
  foreach(src ${FUZZ_SOURCES})
    get_filename_component(name ${src} NAME_WE)
    add_executable(replay_${name} ${src} $<TARGET_OBJECTS:rr_replay_main>)
    if(name STREQUAL "fuzz_dns_answers")
      rr_dns_fuzz_target(replay_${name})
    else()
    target_link_libraries(replay_${name} PRIVATE rr_all rr_host)
    if(name MATCHES "^fuzz_(tool|relay)_")
      target_link_libraries(replay_${name} PRIVATE rr_tool)
    endif()
    rr_use_osal(replay_${name} osal_scripted)
    endif()
    rr_harness(replay_${name})
    add_test(NAME corpus_${name}
      COMMAND replay_${name} ${CMAKE_SOURCE_DIR}/fuzz/corpus/${name})
    set_tests_properties(corpus_${name} PROPERTIES TIMEOUT 600)
  endforeach()
endif()

# A short soak: 50 compose, send, download and parse cycles against the
# relay, a third of them with faults; one report per transaction, descriptors
# flat.
include(cmake/Soak.cmake)
if(TARGET bench_trans_soak)
  add_test(NAME trans_soak_50 COMMAND bench_trans_soak 50)
  set_tests_properties(trans_soak_50 PROPERTIES TIMEOUT 300)
endif()

# The C host program must build and run against the shared library.
add_test(NAME host_demo COMMAND host_demo)

# Exactly the functions of the C ABI leave the shared library.
add_test(NAME exports COMMAND ${CMAKE_SOURCE_DIR}/scripts/check_exports.sh $<TARGET_FILE:rorodire>)

# The shipped library keeps the allocation seam without the test bookkeeping.
if(NOT RORODIRE_ALLOC_ACCOUNTING)
  add_test(NAME shipped_alloc_uncounted COMMAND sh -c
    "! nm -D --undefined-only \"$1\" | grep -w malloc_usable_size" sh $<TARGET_FILE:rorodire>)
endif()

# The diagnostic log is written by a default build and by none configured
# with -DRORODIRE_DIAGNOSTIC_LOG=OFF, whose library holds none of its texts.
add_executable(log_host tests/abi/log_host.c)
target_link_libraries(log_host PRIVATE rorodire)
rr_c_host(log_host)
if(RORODIRE_DIAGNOSTIC_LOG)
  add_test(NAME diagnostic_log COMMAND log_host logs $<TARGET_FILE:rorodire>)
  # A host silences it without rebuilding.
  add_test(NAME diagnostic_log_muted COMMAND log_host muted $<TARGET_FILE:rorodire>)
  set_tests_properties(diagnostic_log_muted PROPERTIES ENVIRONMENT "RORODIRE_LOG=0")
else()
  add_test(NAME diagnostic_log COMMAND log_host silent $<TARGET_FILE:rorodire>)
endif()

# A C host that declares the records itself (without rorodire.h) must read
# the library's records at the same offsets and release them through it.
add_executable(abi_records_host tests/abi/records_host.c)
target_link_libraries(abi_records_host PRIVATE rorodire)
rr_c_host(abi_records_host)
add_test(NAME abi_records_host COMMAND abi_records_host)
set_tests_properties(abi_records_host PROPERTIES ENVIRONMENT "GLIBC_TUNABLES=glibc.malloc.tcache_count=0")

# The same for the composer's host records: a message composed, opened again
# and parsed as a retrieved message through the shared library.
add_executable(abi_composer_host tests/abi/composer_host.c)
target_link_libraries(abi_composer_host PRIVATE rorodire)
rr_c_host(abi_composer_host)
add_test(NAME abi_composer_host COMMAND abi_composer_host)
set_tests_properties(abi_composer_host PROPERTIES ENVIRONMENT "GLIBC_TUNABLES=glibc.malloc.tcache_count=0")

# Tests named cli_* (and the service's transport test) run the command-line
# tool, so it is built before them.
foreach(src ${TEST_SOURCES})
  get_filename_component(name ${src} NAME_WE)
  if(name MATCHES "^(cli_|rorodired_transport_net)" AND TARGET rorodire_tool)
    add_dependencies(${name} rorodire_tool)
  endif()
endforeach()

# The installed package: headers, libraries, pkg-config and CMake package, tool;
# a host program builds against it with pkg-config and with find_package.
# (in the regular build only: a sanitizer runtime of another compiler would
# not link into the consumer programs)
if(NOT RORODIRE_SANITIZE AND NOT RORODIRE_FUZZ)
  add_test(NAME install_package
    COMMAND ${CMAKE_SOURCE_DIR}/tests/install/install_test.sh ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR} "")
  set_tests_properties(install_package PROPERTIES TIMEOUT 300)
  if(CMAKE_CROSSCOMPILING)
    get_filename_component(rr_toolchain ${CMAKE_TOOLCHAIN_FILE} ABSOLUTE BASE_DIR ${CMAKE_SOURCE_DIR})
    set_tests_properties(install_package PROPERTIES
      ENVIRONMENT "CC=${CMAKE_C_COMPILER};RR_CMAKE_TOOLCHAIN=${rr_toolchain}")
  endif()
endif()

# The man pages render without warnings and name every command, option and
# setting the programs' --help texts and the example configuration list.
if(RORODIRE_MAN AND TARGET rorodire_tool AND TARGET rorodired)
  find_package(Python3 COMPONENTS Interpreter)
  add_test(NAME man_pages
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tests/man/man_check.py ${CMAKE_BINARY_DIR}/man
            $<TARGET_FILE:rorodire_tool> $<TARGET_FILE:rorodired> ${CMAKE_SOURCE_DIR}/rorodired/rorodired.conf.example)
  set_tests_properties(man_pages PROPERTIES TIMEOUT 60)
endif()

# The browser check of HTML previews catches each kind of fault it is meant to
# (headless Chromium over its DevTools protocol).
find_package(Python3 COMPONENTS Interpreter)
if(Python3_FOUND)
  add_test(NAME browser_checker
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tests/browser/checker_selftest.py ${CMAKE_SOURCE_DIR}/samples)
  set_tests_properties(browser_checker PROPERTIES TIMEOUT 120)
endif()
