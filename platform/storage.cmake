# Storage, crypto and process services: property lists, bundle, user defaults, keychain, keyed
# archives, crypto, files and process facts.
target_sources(brisko_platform PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/ArchiveClass.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Bundle.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Crypto.cpp
  ${CMAKE_CURRENT_LIST_DIR}/FileKeychain.cpp
  ${CMAKE_CURRENT_LIST_DIR}/FileSystem.cpp
  ${CMAKE_CURRENT_LIST_DIR}/InMemoryKeychain.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Keychain.cpp
  ${CMAKE_CURRENT_LIST_DIR}/KeychainItemList.cpp
  ${CMAKE_CURRENT_LIST_DIR}/KeychainSelection.cpp
  ${CMAKE_CURRENT_LIST_DIR}/KeyedArchiver.cpp
  ${CMAKE_CURRENT_LIST_DIR}/KeyedUnarchiver.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ProcessInfo.cpp
  ${CMAKE_CURRENT_LIST_DIR}/PropertyList.cpp
  ${CMAKE_CURRENT_LIST_DIR}/SecretServiceKeychain.cpp
  ${CMAKE_CURRENT_LIST_DIR}/UserDefaults.cpp
)
target_link_libraries(brisko_platform PRIVATE PkgConfig::PLIST PkgConfig::SECRET OpenSSL::Crypto)
# The build tree finds resources in the source tree when none sit beside the executable.
set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/Bundle.cpp PROPERTIES
  COMPILE_DEFINITIONS "BRISKO_SOURCE_RESOURCES_DIR=\"${BRISKO_RESOURCES_DIR}\"")
