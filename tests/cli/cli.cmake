# bleepforge-render: the option parser and the song checks called directly, and
# the built command run on real files through a POSIX shell, its WAV files read
# back with sox and python3, its other formats decoded with ffmpeg.
if(TARGET bleepforge-render AND NOT WIN32)
  add_executable(cli_tests
    ${CMAKE_CURRENT_LIST_DIR}/options_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/check_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/command_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/play_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/formats_test.cpp
  )
  target_link_libraries(cli_tests PRIVATE bleepforge_cli bleepforge_test_support GTest::gtest_main)
  target_compile_definitions(cli_tests PRIVATE BLEEPFORGE_RENDER="$<TARGET_FILE:bleepforge-render>")
  target_compile_options(cli_tests PRIVATE ${BLEEPFORGE_WARNINGS})
  add_dependencies(cli_tests bleepforge-render)
  gtest_discover_tests(cli_tests TEST_PREFIX "cli." DISCOVERY_TIMEOUT 60)
endif()
