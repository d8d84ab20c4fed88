# Third-party libraries come from Debian's packages (see scripts/test for the list).
find_package(Threads REQUIRED)

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
