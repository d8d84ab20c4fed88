# Third-party libraries come from Debian's packages (see scripts/test for the list).
find_package(Threads REQUIRED)

# cpp-httplib 0.18.7 from Debian's trixie source package (Debian's patches applied), fetched
# into the build tree by scripts/fetch-httplib and compiled here once, for Linux and Windows
# alike. Its settings change class layouts and limits, so they are PUBLIC definitions: every
# file that includes the header sees the same ones.
#  - no TLS and no compression (plain HTTP only; nothing else is linked into the agent);
#  - every line of a request or reply head is cut off at 8 KiB: the library matches a reply's
#    status line with a recursive regular expression, whose stack use grows with the line
#    (about 170 bytes a character), so the line limit is what keeps any reply from
#    overflowing a thread's stack; request targets above 4 KiB are answered 414;
#  - poll() instead of select() on POSIX, so that descriptors above 1023 still work;
#  - a listen backlog of 1024, so that a burst of connections never waits for SYN retries.
set(MORVANIX_HTTPLIB_DIR "${CMAKE_BINARY_DIR}/_deps/cpp-httplib")
execute_process(
  COMMAND "${PROJECT_SOURCE_DIR}/scripts/fetch-httplib" "${MORVANIX_HTTPLIB_DIR}"
  RESULT_VARIABLE fetch_result)
if(NOT fetch_result EQUAL 0)
  message(FATAL_ERROR "Could not fetch cpp-httplib (scripts/fetch-httplib)")
endif()
set(MORVANIX_HTTPLIB_DEFINITIONS
  CPPHTTPLIB_MAX_LINE_LENGTH=8192
  CPPHTTPLIB_HEADER_MAX_LENGTH=8192
  CPPHTTPLIB_REQUEST_URI_MAX_LENGTH=4096
  CPPHTTPLIB_LISTEN_BACKLOG=1024)
if(NOT WIN32)
  list(APPEND MORVANIX_HTTPLIB_DEFINITIONS CPPHTTPLIB_USE_POLL)
endif()

function(morvanix_httplib_target name)
  add_library(${name} STATIC "${MORVANIX_HTTPLIB_DIR}/httplib.cc")
  target_include_directories(${name} SYSTEM PUBLIC "${MORVANIX_HTTPLIB_DIR}")
  target_compile_definitions(${name} PUBLIC ${MORVANIX_HTTPLIB_DEFINITIONS})
  target_link_libraries(${name} PUBLIC Threads::Threads)
  if(WIN32)
    # Windows 8 or later for the socket calls it uses.
    target_compile_definitions(${name} PUBLIC _WIN32_WINNT=0x0602)
    target_link_libraries(${name} PUBLIC ws2_32)
  endif()
endfunction()

morvanix_httplib_target(morvanix_httplib)
add_library(httplib::httplib ALIAS morvanix_httplib)

# The same source with TLS, for tool executables only (a test server speaking HTTPS). A
# binary links either this one or the plain one, never both: the two differ in class layout.
if(NOT WIN32 AND MORVANIX_BUILD_TOOLS)
  find_package(OpenSSL 3 REQUIRED)
  morvanix_httplib_target(httplib_tls)
  target_compile_definitions(httplib_tls PUBLIC CPPHTTPLIB_OPENSSL_SUPPORT)
  target_link_libraries(httplib_tls PUBLIC OpenSSL::SSL OpenSSL::Crypto)
endif()

# OpenSSL for the agent's HTTPS build (MORVANIX_REMOTE_TLS=ON) only: Debian's libssl3 on
# Linux; on Windows static libraries built from Debian 12's own source package by
# scripts/fetch-openssl-mingw and kept outside the clone.
if(MORVANIX_REMOTE_TLS)
  add_library(morvanix_openssl INTERFACE)
  if(WIN32)
    execute_process(
      COMMAND "${PROJECT_SOURCE_DIR}/scripts/fetch-openssl-mingw"
      OUTPUT_VARIABLE openssl_lines
      RESULT_VARIABLE openssl_result)
    if(NOT openssl_result EQUAL 0)
      message(FATAL_ERROR "Could not build OpenSSL for mingw-w64 (scripts/fetch-openssl-mingw)")
    endif()
    string(STRIP "${openssl_lines}" openssl_lines)
    string(REGEX REPLACE ".*\n" "" MORVANIX_OPENSSL_DIR "${openssl_lines}")
    target_include_directories(morvanix_openssl SYSTEM INTERFACE "${MORVANIX_OPENSSL_DIR}/include")
    target_link_libraries(morvanix_openssl INTERFACE
      "${MORVANIX_OPENSSL_DIR}/lib/libssl.a" "${MORVANIX_OPENSSL_DIR}/lib/libcrypto.a"
      crypt32 ws2_32)
    set(MORVANIX_OPENSSL_LICENSE "${MORVANIX_OPENSSL_DIR}/LICENSE.txt")
  else()
    find_package(OpenSSL 3 REQUIRED)
    target_link_libraries(morvanix_openssl INTERFACE OpenSSL::SSL OpenSSL::Crypto)
    set(MORVANIX_OPENSSL_LICENSE "/usr/share/doc/libssl3/copyright")
  endif()
endif()

# Windows cross-build (preset windows): GoogleTest built from Debian's sources; no
# benchmarks, tools or nlohmann-json.
if(WIN32)
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
