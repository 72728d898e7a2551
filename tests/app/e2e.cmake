# The end-to-end run of the real binary: on a private Xvfb display with openbox, on a private session
# bus where the test itself is the tray host.
add_executable(app_e2e_tests
  ${CMAKE_CURRENT_LIST_DIR}/AppEndToEndTests.cpp
  ${CMAKE_CURRENT_LIST_DIR}/TrayMenuDriver.cpp
  ${CMAKE_SOURCE_DIR}/tests/platform/desktop/x11/X11TestWindow.cpp
  ${CMAKE_SOURCE_DIR}/tests/platform/desktop/DesktopTestSupport.cpp
)
set_target_properties(app_e2e_tests PROPERTIES AUTOMOC ON)
target_link_libraries(app_e2e_tests PRIVATE brisko_test_support Qt6::Core Qt6::DBus PkgConfig::XCB)
target_compile_definitions(app_e2e_tests PRIVATE
  BRISKO_APP_BINARY="$<TARGET_FILE:brisko-desktop>" BRISKO_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
add_dependencies(app_e2e_tests brisko-desktop)

add_test(NAME app_e2e_tests
  COMMAND dbus-run-session -- ${CMAKE_SOURCE_DIR}/scripts/with-xvfb.sh $<TARGET_FILE:app_e2e_tests>)
set_tests_properties(app_e2e_tests PROPERTIES ENVIRONMENT "BRISKO_PRIVATE_DISPLAY=1;LSAN_OPTIONS=suppressions=${CMAKE_CURRENT_LIST_DIR}/lsan.supp" TIMEOUT 300)

# The real binary signed in at the local identity service: restore, pairing, tokens on uploads, and
# samples kept to their account across launches.
add_executable(account_e2e_tests
  ${CMAKE_CURRENT_LIST_DIR}/AccountEndToEndTests.cpp
  ${CMAKE_CURRENT_LIST_DIR}/TrayMenuDriver.cpp
  ${CMAKE_SOURCE_DIR}/tests/platform/desktop/x11/X11TestWindow.cpp
  ${CMAKE_SOURCE_DIR}/tests/platform/desktop/DesktopTestSupport.cpp
)
set_target_properties(account_e2e_tests PROPERTIES AUTOMOC ON)
target_link_libraries(account_e2e_tests PRIVATE brisko_auth brisko_identity_service brisko_test_support
                      Qt6::Core Qt6::DBus PkgConfig::XCB)
target_compile_definitions(account_e2e_tests PRIVATE
  BRISKO_APP_BINARY="$<TARGET_FILE:brisko-desktop>" BRISKO_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
add_dependencies(account_e2e_tests brisko-desktop)
add_test(NAME account_e2e_tests
  COMMAND dbus-run-session -- ${CMAKE_SOURCE_DIR}/scripts/with-xvfb.sh $<TARGET_FILE:account_e2e_tests>)
# A desktop test that starts the app with QProcess (a fork ThreadSanitizer stops at): not for the TSan run.
set_tests_properties(account_e2e_tests PROPERTIES ENVIRONMENT "BRISKO_PRIVATE_DISPLAY=1;LSAN_OPTIONS=suppressions=${CMAKE_CURRENT_LIST_DIR}/lsan.supp" TIMEOUT 300 LABELS no-tsan)

# Signing in through a real browser (chromium driven by puppeteer-core) against the Ezevar stand-in,
# then recording and signing out.
add_executable(signin_e2e_tests
  ${CMAKE_CURRENT_LIST_DIR}/SignInEndToEndTests.cpp
  ${CMAKE_CURRENT_LIST_DIR}/TrayMenuDriver.cpp
  ${CMAKE_SOURCE_DIR}/tests/platform/desktop/x11/X11TestWindow.cpp
  ${CMAKE_SOURCE_DIR}/tests/platform/desktop/DesktopTestSupport.cpp
)
set_target_properties(signin_e2e_tests PROPERTIES AUTOMOC ON)
target_link_libraries(signin_e2e_tests PRIVATE brisko_ezevar_standin brisko_identity_service brisko_test_support
                      brisko_platform Qt6::Gui Qt6::DBus PkgConfig::XCB)
target_compile_definitions(signin_e2e_tests PRIVATE
  BRISKO_APP_BINARY="$<TARGET_FILE:brisko-desktop>" BRISKO_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
add_dependencies(signin_e2e_tests brisko-desktop)
add_test(NAME signin_e2e_tests
  COMMAND dbus-run-session -- ${CMAKE_SOURCE_DIR}/scripts/with-xvfb.sh $<TARGET_FILE:signin_e2e_tests>)
# Label "browser": it drives the real browser (scripts/test.sh gives such a test one more try).
set_tests_properties(signin_e2e_tests PROPERTIES ENVIRONMENT "BRISKO_PRIVATE_DISPLAY=1;LSAN_OPTIONS=suppressions=${CMAKE_CURRENT_LIST_DIR}/lsan.supp" TIMEOUT 300
                     LABELS browser)
