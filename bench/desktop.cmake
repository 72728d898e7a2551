# The cost of one activity sample on X11 (frontmost application, window title, idle time), with a real
# frontmost window made by the benchmark itself.
if(BRISKO_BUILD_APP)
  add_executable(x11_sample_bench ${CMAKE_CURRENT_LIST_DIR}/X11SampleBench.cpp
    ${CMAKE_SOURCE_DIR}/tests/platform/desktop/x11/X11TestWindow.cpp
    ${CMAKE_SOURCE_DIR}/tests/platform/desktop/DesktopTestSupport.cpp)
  target_link_libraries(x11_sample_bench PRIVATE brisko_platform_desktop PkgConfig::XCB)
endif()
