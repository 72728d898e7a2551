# The desktop backends of the platform layer: X11 (frontmost window, title, idle time), logind over
# D-Bus (sleep and wake), the single-instance socket and Qt's main-thread executor.
include(${CMAKE_CURRENT_LIST_DIR}/workspace.cmake)

add_library(brisko_platform_desktop STATIC
  ${CMAKE_CURRENT_LIST_DIR}/X11Connection.cpp
  ${CMAKE_CURRENT_LIST_DIR}/X11ApplicationIndex.cpp
  ${CMAKE_CURRENT_LIST_DIR}/X11Workspace.cpp
  ${CMAKE_CURRENT_LIST_DIR}/X11Accessibility.cpp
  ${CMAKE_CURRENT_LIST_DIR}/X11IdleTime.cpp
  ${CMAKE_CURRENT_LIST_DIR}/X11Services.cpp
  ${CMAKE_CURRENT_LIST_DIR}/SleepWatcher.cpp
  ${CMAKE_CURRENT_LIST_DIR}/SingleInstance.cpp
  ${CMAKE_CURRENT_LIST_DIR}/QtMainExecutor.cpp
)
set_target_properties(brisko_platform_desktop PROPERTIES AUTOMOC ON)
target_link_libraries(brisko_platform_desktop
  PUBLIC brisko_platform Qt6::Core Qt6::Gui Qt6::DBus Qt6::Network
  PRIVATE PkgConfig::XCB)
