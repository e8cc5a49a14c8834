# The stream engine with its sound outputs: the test device everywhere, ALSA
# on Linux, winmm on Windows (its source joins when present); and the sound
# file writers: WAV everywhere, libsndfile's formats on Linux.
find_package(Threads REQUIRED)
option(BLEEPFORGE_SNDFILE "Write FLAC, Ogg Vorbis, Opus and MP3 through libsndfile (Linux)" ON)

add_library(bleepforge_stream STATIC
  ${CMAKE_CURRENT_LIST_DIR}/stream.cpp
  ${CMAKE_CURRENT_LIST_DIR}/test_device.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sound_file.cpp
  ${CMAKE_CURRENT_LIST_DIR}/song_file.cpp
  ${CMAKE_CURRENT_LIST_DIR}/track_scope.cpp
)
target_link_libraries(bleepforge_stream PUBLIC bleepforge_core Threads::Threads)
target_compile_options(bleepforge_stream PRIVATE ${BLEEPFORGE_WARNINGS})

if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(ALSA REQUIRED IMPORTED_TARGET alsa)
  target_sources(bleepforge_stream PRIVATE ${CMAKE_CURRENT_LIST_DIR}/alsa_device.cpp)
  target_link_libraries(bleepforge_stream PRIVATE PkgConfig::ALSA)
  target_compile_definitions(bleepforge_stream PRIVATE BLEEPFORGE_ALSA)
  if(BLEEPFORGE_SNDFILE)
    pkg_check_modules(SNDFILE REQUIRED IMPORTED_TARGET sndfile soxr)
    target_sources(bleepforge_stream PRIVATE ${CMAKE_CURRENT_LIST_DIR}/sndfile_writer.cpp)
    target_link_libraries(bleepforge_stream PRIVATE PkgConfig::SNDFILE)
    target_compile_definitions(bleepforge_stream PRIVATE BLEEPFORGE_SNDFILE)
  endif()
elseif(WIN32 AND EXISTS ${CMAKE_CURRENT_LIST_DIR}/winmm_device.cpp)
  target_sources(bleepforge_stream PRIVATE ${CMAKE_CURRENT_LIST_DIR}/winmm_device.cpp)
  target_link_libraries(bleepforge_stream PRIVATE winmm)
  target_compile_definitions(bleepforge_stream PRIVATE BLEEPFORGE_WINMM)
endif()
