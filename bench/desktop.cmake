# The cost of one activity sample on X11 (frontmost application, window title, idle time).
if(BRISKO_BUILD_APP)
  add_executable(x11_sample_bench ${CMAKE_CURRENT_LIST_DIR}/X11SampleBench.cpp)
  target_link_libraries(x11_sample_bench PRIVATE brisko_platform_desktop)
endif()
