# The file watcher on real files in a temporary folder: every way an editor
# saves, with each backend.
if(TARGET bleepforge_watch)
  add_executable(watch_tests ${CMAKE_CURRENT_LIST_DIR}/file_watcher_test.cpp)
  target_link_libraries(watch_tests PRIVATE bleepforge_watch GTest::gtest_main)
  target_compile_options(watch_tests PRIVATE ${BLEEPFORGE_WARNINGS})
  gtest_discover_tests(watch_tests DISCOVERY_TIMEOUT 60)
endif()
