# Benchmarks of the companion app: one sample, the upload of a full buffer against libcurl, the idle
# footprint of the running app after an upload over HTTPS, beside that of a minimal tray app made of the
# same libraries (the baseline), and the open window's cost. Run the last ones under Xvfb (see their
# first lines).
if(NOT TARGET brisko_app_lib)
  return()
endif()
find_package(doctest REQUIRED)
pkg_check_modules(HTTPLIB REQUIRED IMPORTED_TARGET cpp-httplib)

if(NOT TARGET brisko_identity_service)
  add_subdirectory(${CMAKE_SOURCE_DIR}/tests/support/identity-service ${CMAKE_BINARY_DIR}/bench/identity-service)
endif()

add_library(brisko_app_bench_support STATIC
  ${CMAKE_CURRENT_LIST_DIR}/AppBenchSupport.cpp
  ${CMAKE_SOURCE_DIR}/tests/support/HttpTestServer.cpp
  ${CMAKE_SOURCE_DIR}/tests/app/AppTestSupport.cpp
  ${CMAKE_SOURCE_DIR}/tests/app/TrayMenuDriver.cpp
  ${CMAKE_SOURCE_DIR}/tests/platform/desktop/x11/X11TestWindow.cpp
  ${CMAKE_SOURCE_DIR}/tests/platform/desktop/DesktopTestSupport.cpp
)
set_target_properties(brisko_app_bench_support PROPERTIES AUTOMOC ON)
target_link_libraries(brisko_app_bench_support PUBLIC brisko_app_lib brisko_identity_service PkgConfig::HTTPLIB PkgConfig::XCB
                      Qt6::DBus OpenSSL::SSL OpenSSL::Crypto ZLIB::ZLIB doctest::doctest)
target_compile_definitions(brisko_app_bench_support PUBLIC BRISKO_SOURCE_DIR="${CMAKE_SOURCE_DIR}")

add_executable(app_upload_bench ${CMAKE_CURRENT_LIST_DIR}/AppUploadBench.cpp)
target_link_libraries(app_upload_bench PRIVATE brisko_app_bench_support)

add_executable(app_sample_bench ${CMAKE_CURRENT_LIST_DIR}/AppSampleBench.cpp)
target_link_libraries(app_sample_bench PRIVATE brisko_app_bench_support)

# No code of ours: Qt and libcurl only, built as the app is (optimised, same linker).
add_executable(app_idle_baseline ${CMAKE_CURRENT_LIST_DIR}/AppIdleBaseline.cpp)
target_link_libraries(app_idle_baseline PRIVATE Qt6::Widgets CURL::libcurl)
if(TARGET Qt6::GuiPrivate)
  target_link_libraries(app_idle_baseline PRIVATE Qt6::GuiPrivate)
endif()

add_executable(app_idle_bench ${CMAKE_CURRENT_LIST_DIR}/AppIdleBench.cpp)
target_link_libraries(app_idle_bench PRIVATE brisko_app_bench_support)
target_compile_definitions(app_idle_bench PRIVATE BRISKO_APP_BINARY="$<TARGET_FILE:brisko-desktop>"
                                                  BRISKO_BASELINE_BINARY="$<TARGET_FILE:app_idle_baseline>")
add_dependencies(app_idle_bench brisko-desktop app_idle_baseline)

# The open window's cost while recording (the breathing dot) and stopped, beside a plain Qt window with
# the same dot (no code of ours).
add_executable(app_window_baseline ${CMAKE_CURRENT_LIST_DIR}/AppWindowBaseline.cpp)
target_link_libraries(app_window_baseline PRIVATE Qt6::Widgets)
add_executable(app_window_bench ${CMAKE_CURRENT_LIST_DIR}/AppWindowBench.cpp)
target_link_libraries(app_window_bench PRIVATE brisko_app_bench_support)
target_compile_definitions(app_window_bench PRIVATE BRISKO_APP_BINARY="$<TARGET_FILE:brisko-desktop>"
                                                    BRISKO_BASELINE_BINARY="$<TARGET_FILE:app_window_baseline>")
add_dependencies(app_window_bench brisko-desktop app_window_baseline)

# Memory over recording cycles started and stopped from the tray.
add_executable(app_cycles_bench ${CMAKE_CURRENT_LIST_DIR}/AppCyclesBench.cpp)
target_link_libraries(app_cycles_bench PRIVATE brisko_app_bench_support)
target_compile_definitions(app_cycles_bench PRIVATE BRISKO_APP_BINARY="$<TARGET_FILE:brisko-desktop>")
add_dependencies(app_cycles_bench brisko-desktop)
