# The cost of one activity sample (frontmost application, window title, idle time) on each desktop
# backend, with a real frontmost window made by the benchmark itself: X11 (under Xvfb) and Wayland
# (sway or kwin_wayland, through scripts/with-compositor.sh).
if(BRISKO_BUILD_APP)
  add_executable(x11_sample_bench ${CMAKE_CURRENT_LIST_DIR}/X11SampleBench.cpp
    ${CMAKE_SOURCE_DIR}/tests/platform/desktop/x11/X11TestWindow.cpp
    ${CMAKE_SOURCE_DIR}/tests/platform/desktop/DesktopTestSupport.cpp)
  target_link_libraries(x11_sample_bench PRIVATE brisko_platform_desktop PkgConfig::XCB)

  if(NOT TARGET qt_test_window)
    add_executable(qt_test_window ${CMAKE_SOURCE_DIR}/tests/platform/desktop/kde/QtTestWindow.cpp)
    target_link_libraries(qt_test_window PRIVATE Qt6::Gui)
  endif()
  add_executable(wayland_sample_bench ${CMAKE_CURRENT_LIST_DIR}/WaylandSampleBench.cpp
    ${CMAKE_SOURCE_DIR}/tests/platform/desktop/DesktopTestSupport.cpp)
  target_link_libraries(wayland_sample_bench PRIVATE brisko_platform_desktop Qt6::Gui)
  add_dependencies(wayland_sample_bench qt_test_window)
  target_compile_definitions(wayland_sample_bench PRIVATE BRISKO_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
    BRISKO_QT_TEST_WINDOW="$<TARGET_FILE:qt_test_window>")
endif()

# The cost of one activity sample on GNOME Shell (the extension's focused window, its title, Mutter's
# idle time), with a foot window of its own frontmost; run it in scripts/with-gnome-shell.sh.
if(BRISKO_BUILD_APP)
  add_executable(gnome_sample_bench ${CMAKE_CURRENT_LIST_DIR}/GnomeShellSampleBench.cpp
    ${CMAKE_SOURCE_DIR}/tests/platform/desktop/DesktopTestSupport.cpp)
  target_link_libraries(gnome_sample_bench PRIVATE brisko_platform_desktop)
endif()
