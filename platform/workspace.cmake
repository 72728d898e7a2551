# The desktop-service interfaces and their Qt-free, X-free parts (shared instances, stand-ins, the URL
# opener, the autostart entry): any library may use them; the X11, D-Bus and Qt backends are in
# desktop.cmake.
include_guard(GLOBAL)
target_sources(brisko_platform PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/Workspace.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Accessibility.cpp
  ${CMAKE_CURRENT_LIST_DIR}/IdleTime.cpp
  ${CMAKE_CURRENT_LIST_DIR}/LoginItem.cpp
  ${CMAKE_CURRENT_LIST_DIR}/DesktopEntry.cpp
)
