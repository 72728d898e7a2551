# Tests of URLs and URL sessions (against the local HTTP and HTTPS test servers).
target_sources(platform_tests PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/URLTests.cpp
  ${CMAKE_CURRENT_LIST_DIR}/URLSessionTests.cpp
  ${CMAKE_CURRENT_LIST_DIR}/URLSessionStreamTests.cpp
  ${CMAKE_CURRENT_LIST_DIR}/URLSessionAuthTests.cpp
)
