# Tests of the desktop backends (X11, logind over D-Bus, the single-instance socket, the Qt executor).
# They run on a private Xvfb display with openbox, started by scripts/with-xvfb.sh.
add_executable(platform_desktop_tests
  ${CMAKE_CURRENT_LIST_DIR}/DesktopTestSupport.cpp
  ${CMAKE_CURRENT_LIST_DIR}/X11TestWindow.cpp
  ${CMAKE_CURRENT_LIST_DIR}/X11WorkspaceTests.cpp
  ${CMAKE_CURRENT_LIST_DIR}/X11IdleTimeTests.cpp
  ${CMAKE_CURRENT_LIST_DIR}/WorkspaceTests.cpp
  ${CMAKE_CURRENT_LIST_DIR}/LoginItemTests.cpp
  ${CMAKE_CURRENT_LIST_DIR}/SingleInstanceTests.cpp
  ${CMAKE_CURRENT_LIST_DIR}/SleepWatcherTests.cpp
  ${CMAKE_CURRENT_LIST_DIR}/QtMainExecutorTests.cpp
)
set_target_properties(platform_desktop_tests PROPERTIES AUTOMOC ON)
target_link_libraries(platform_desktop_tests PRIVATE brisko_platform_desktop brisko_test_support PkgConfig::XCB)

# A second process for the single-instance hand-over.
add_executable(single_instance_client ${CMAKE_CURRENT_LIST_DIR}/SingleInstanceClient.cpp)
target_link_libraries(single_instance_client PRIVATE brisko_platform_desktop)
add_dependencies(platform_desktop_tests single_instance_client)
target_compile_definitions(platform_desktop_tests PRIVATE
  BRISKO_SINGLE_INSTANCE_CLIENT="$<TARGET_FILE:single_instance_client>")

add_test(NAME platform_desktop_tests
  COMMAND ${CMAKE_SOURCE_DIR}/scripts/with-xvfb.sh $<TARGET_FILE:platform_desktop_tests>)
# A private display: the tests move the pointer and raise windows, which must not touch the user's desktop.
set_tests_properties(platform_desktop_tests PROPERTIES ENVIRONMENT "BRISKO_PRIVATE_DISPLAY=1" TIMEOUT 300)
