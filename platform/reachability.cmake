# Network reachability: the rtnetlink backend and its stand-in.
target_sources(brisko_platform PRIVATE ${CMAKE_CURRENT_LIST_DIR}/Reachability.cpp)
