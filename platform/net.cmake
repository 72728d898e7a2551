# URLs, requests and responses, and URL sessions over libcurl's multi interface.
target_sources(brisko_platform PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/URL.cpp
  ${CMAKE_CURRENT_LIST_DIR}/HTTPHeaders.cpp
  ${CMAKE_CURRENT_LIST_DIR}/URLRequest.cpp
  ${CMAKE_CURRENT_LIST_DIR}/URLResponse.cpp
  ${CMAKE_CURRENT_LIST_DIR}/URLError.cpp
  ${CMAKE_CURRENT_LIST_DIR}/URLAuthenticationChallenge.cpp
  ${CMAKE_CURRENT_LIST_DIR}/CurlMulti.cpp
  ${CMAKE_CURRENT_LIST_DIR}/InputStream.cpp
  ${CMAKE_CURRENT_LIST_DIR}/URLSessionBodyStream.cpp
  ${CMAKE_CURRENT_LIST_DIR}/URLSessionCore.cpp
  ${CMAKE_CURRENT_LIST_DIR}/URLSessionTaskCore.cpp
  ${CMAKE_CURRENT_LIST_DIR}/URLSessionTask.cpp
  ${CMAKE_CURRENT_LIST_DIR}/URLSession.cpp
)
target_link_libraries(brisko_platform PUBLIC CURL::libcurl OpenSSL::SSL OpenSSL::Crypto)
