# The player's tests: the controller against a fake shell, and the Qt window
# driven headless (offscreen platform, no display needed).
if(TARGET bleepforge_app)
  add_executable(app_tests ${CMAKE_CURRENT_LIST_DIR}/controller_test.cpp ${CMAKE_CURRENT_LIST_DIR}/scope_test.cpp)
  target_link_libraries(app_tests PRIVATE bleepforge_app bleepforge_test_support GTest::gtest_main)
  target_compile_options(app_tests PRIVATE ${BLEEPFORGE_WARNINGS})
  # The song export is compared with what the renderer program writes.
  if(TARGET bleepforge-render)
    add_dependencies(app_tests bleepforge-render)
    target_compile_definitions(app_tests PRIVATE BLEEPFORGE_RENDER="$<TARGET_FILE:bleepforge-render>")
  endif()
  gtest_discover_tests(app_tests DISCOVERY_TIMEOUT 60)
endif()

if(TARGET bleepforge_qt)
  find_package(Qt6 REQUIRED COMPONENTS Test)
  add_executable(app_window_tests ${CMAKE_CURRENT_LIST_DIR}/main_window_test.cpp)
  set_target_properties(app_window_tests PROPERTIES AUTOMOC ON)
  target_link_libraries(app_window_tests PRIVATE bleepforge_qt bleepforge_test_support Qt6::Test GTest::gtest)
  target_compile_options(app_window_tests PRIVATE ${BLEEPFORGE_WARNINGS})
  gtest_discover_tests(app_window_tests DISCOVERY_TIMEOUT 60
    PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
endif()
