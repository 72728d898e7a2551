target_sources(platform_tests PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/ValueTests.cpp
  ${CMAKE_CURRENT_LIST_DIR}/TextTests.cpp
  ${CMAKE_CURRENT_LIST_DIR}/DispatchTests.cpp
  ${CMAKE_CURRENT_LIST_DIR}/AsyncTests.cpp
  ${CMAKE_CURRENT_LIST_DIR}/NotificationCenterTests.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ClockTests.cpp
)
