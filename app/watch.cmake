# The file watcher behind play-on-save, in a library of its own (no Qt, no
# engine) so the window and bleepforge-render both link it. Each platform's
# folder notices where it has them; polling everywhere else.
find_package(Threads REQUIRED)

add_library(bleepforge_watch STATIC ${CMAKE_CURRENT_LIST_DIR}/file_watcher.cpp)
target_include_directories(bleepforge_watch PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(bleepforge_watch PUBLIC Threads::Threads)
target_compile_options(bleepforge_watch PRIVATE ${BLEEPFORGE_WARNINGS})
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  target_compile_definitions(bleepforge_watch PRIVATE BLEEPFORGE_INOTIFY)
endif()
