# Values, errors, text, dispatch, coroutines, notifications, logging and clocks.
target_sources(brisko_platform PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/Value.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Error.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Text.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Dispatch.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Async.cpp
  ${CMAKE_CURRENT_LIST_DIR}/NotificationCenter.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Log.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Clock.cpp
)
