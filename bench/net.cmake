# URLSession against libcurl used directly: 100 small POSTs to a local server.
find_package(PkgConfig REQUIRED)
pkg_check_modules(HTTPLIB IMPORTED_TARGET cpp-httplib)
if(HTTPLIB_FOUND)
  add_executable(url_session_bench ${CMAKE_CURRENT_LIST_DIR}/UrlSessionBench.cpp)
  target_link_libraries(url_session_bench PRIVATE brisko_platform PkgConfig::HTTPLIB CURL::libcurl)
endif()
