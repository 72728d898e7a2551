# The fetcher service and the resumable upload fetcher against libcurl used directly.
find_package(PkgConfig REQUIRED)
pkg_check_modules(HTTPLIB IMPORTED_TARGET cpp-httplib)
if(HTTPLIB_FOUND AND TARGET brisko_fetcher)
  add_executable(fetcher_bench ${CMAKE_CURRENT_LIST_DIR}/FetcherServiceBench.cpp)
  target_link_libraries(fetcher_bench PRIVATE brisko_fetcher PkgConfig::HTTPLIB CURL::libcurl)
  add_executable(fetcher_body_bench ${CMAKE_CURRENT_LIST_DIR}/FetcherBodyBench.cpp)
  target_link_libraries(fetcher_body_bench PRIVATE brisko_fetcher PkgConfig::HTTPLIB CURL::libcurl)
endif()
