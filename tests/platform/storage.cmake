# Tests of the storage, crypto and process services. The Secret Service tests run in their own
# executable inside a private D-Bus session with GNOME Keyring (scripts/with-keyring.sh).
target_sources(platform_tests PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/BundleTests.cpp
  ${CMAKE_CURRENT_LIST_DIR}/CryptoTests.cpp
  ${CMAKE_CURRENT_LIST_DIR}/FileSystemTests.cpp
  ${CMAKE_CURRENT_LIST_DIR}/KeychainTests.cpp
  ${CMAKE_CURRENT_LIST_DIR}/KeyedArchiverTests.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ProcessInfoTests.cpp
  ${CMAKE_CURRENT_LIST_DIR}/PropertyListTests.cpp
  ${CMAKE_CURRENT_LIST_DIR}/UserDefaultsTests.cpp
)

add_executable(platform_keyring_tests ${CMAKE_CURRENT_LIST_DIR}/keyring/SecretServiceKeychainTests.cpp)
target_link_libraries(platform_keyring_tests PRIVATE brisko_platform brisko_test_support)
add_test(NAME platform_keyring_tests
         COMMAND ${CMAKE_SOURCE_DIR}/scripts/with-keyring.sh $<TARGET_FILE:platform_keyring_tests>)
