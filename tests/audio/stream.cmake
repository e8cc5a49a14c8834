# The stream engine's tests: the render thread against the test device, and
# the ALSA backend's failure path (no sound hardware needed).
add_executable(stream_tests
  ${CMAKE_CURRENT_LIST_DIR}/stream_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/stream_device_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/track_scope_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/song_file_test.cpp
)
target_link_libraries(stream_tests PRIVATE bleepforge_stream bleepforge_test_support GTest::gtest_main)
target_compile_options(stream_tests PRIVATE ${BLEEPFORGE_WARNINGS})
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  target_compile_definitions(stream_tests PRIVATE BLEEPFORGE_ALSA)
endif()
gtest_discover_tests(stream_tests DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120)

# Plays a song through the default device; driven by scripts/test.d/20-pulse-e2e.sh.
add_executable(stream_play_probe ${CMAKE_CURRENT_LIST_DIR}/stream_play_probe.cpp)
target_link_libraries(stream_play_probe PRIVATE bleepforge_stream)
target_compile_options(stream_play_probe PRIVATE ${BLEEPFORGE_WARNINGS})

# bleepforge-render --play, run against the test device.
if(TARGET bleepforge_cli)
  target_sources(stream_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}/stream_play_test.cpp)
  target_link_libraries(stream_tests PRIVATE bleepforge_cli)
endif()
