# Third-party libraries come from Debian's packages (see scripts/test for the list).
find_package(Threads REQUIRED)

# Windows cross-build (preset windows): cpp-httplib from Debian's source package, split
# into header and implementation as Debian builds it and compiled here; GoogleTest built
# from Debian's sources; no benchmarks, tools or nlohmann-json.
if(WIN32)
  set(MORVANIX_HTTPLIB_DIR "${CMAKE_BINARY_DIR}/_deps/cpp-httplib")
  execute_process(
    COMMAND "${PROJECT_SOURCE_DIR}/scripts/windows/fetch-httplib" "${MORVANIX_HTTPLIB_DIR}"
    RESULT_VARIABLE fetch_result)
  if(NOT fetch_result EQUAL 0)
    message(FATAL_ERROR "Could not fetch cpp-httplib for the Windows build")
  endif()
  add_library(morvanix_httplib STATIC "${MORVANIX_HTTPLIB_DIR}/httplib.cc")
  target_include_directories(morvanix_httplib SYSTEM PUBLIC "${MORVANIX_HTTPLIB_DIR}")
  # Windows 8 or later for the socket calls it uses.
  target_compile_definitions(morvanix_httplib PUBLIC _WIN32_WINNT=0x0602)
  target_link_libraries(morvanix_httplib PUBLIC ws2_32)
  add_library(httplib::httplib ALIAS morvanix_httplib)

  if(MORVANIX_BUILD_TESTS)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest "${CMAKE_BINARY_DIR}/_deps/googletest" EXCLUDE_FROM_ALL)
    include(GoogleTest)
    # Test lists are read when CTest starts, so building never needs Wine.
    set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
    # A test that crashes can still end with exit code 0 under Wine: pass a test only on
    # GoogleTest's own closing line ("[  PASSED  ] 1 test.").
    if(NOT COMMAND _gtest_discover_tests)
      function(gtest_discover_tests)
        _gtest_discover_tests(${ARGN} PROPERTIES
          PASS_REGULAR_EXPRESSION "[[]  PASSED  []] 1 test[.]"
          FAIL_REGULAR_EXPRESSION "[[]  FAILED  []]")
      endfunction()
    endif()
  endif()
  return()
endif()

# cpp-httplib: Debian ships a split build (declarations in the header, code in a shared
# library) whose class layouts depend on the compile flags that pkg-config reports.
if(NOT TARGET httplib::httplib)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(CPP_HTTPLIB REQUIRED IMPORTED_TARGET cpp-httplib)
  add_library(httplib::httplib ALIAS PkgConfig::CPP_HTTPLIB)
endif()

if(MORVANIX_BUILD_TESTS)
  find_package(GTest REQUIRED)
  include(GoogleTest)
endif()
if(MORVANIX_BUILD_BENCH)
  find_package(benchmark REQUIRED)
endif()
if(MORVANIX_BUILD_TOOLS OR MORVANIX_BUILD_TESTS OR MORVANIX_BUILD_BENCH)
  find_package(nlohmann_json 3 REQUIRED)
endif()
