# Local HTTP(S) test servers (cpp-httplib) with a run-time test CA.
target_sources(brisko_test_support PRIVATE ${CMAKE_CURRENT_LIST_DIR}/HttpTestServer.cpp)
target_link_libraries(brisko_test_support PUBLIC OpenSSL::SSL OpenSSL::Crypto ZLIB::ZLIB)
