# The promise library against plain posted callbacks.
if(TARGET brisko_promises)
  add_executable(promises_bench ${CMAKE_CURRENT_LIST_DIR}/PromisesBench.cpp)
  target_link_libraries(promises_bench PRIVATE brisko_promises)
endif()
