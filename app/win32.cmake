# The Windows program: the Win32 shell around the shared controller, its
# resources, and (with the tests) its Windows-only test programs.
add_library(bleepforge_win32 STATIC ${CMAKE_CURRENT_LIST_DIR}/win32_window.cpp)
target_compile_definitions(bleepforge_win32 PUBLIC UNICODE _UNICODE)
target_link_libraries(bleepforge_win32 PUBLIC bleepforge_app user32 gdi32 shell32 comdlg32)
target_compile_options(bleepforge_win32 PRIVATE ${BLEEPFORGE_WARNINGS})

# The resource object, linked into every program that opens the main window.
add_library(bleepforge_win32_resources OBJECT ${PROJECT_SOURCE_DIR}/resources/bleepforge.rc)
target_include_directories(bleepforge_win32_resources PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/resources)
set_property(SOURCE ${PROJECT_SOURCE_DIR}/resources/bleepforge.rc APPEND PROPERTY OBJECT_DEPENDS
  ${PROJECT_SOURCE_DIR}/resources/bleepforge.ico ${PROJECT_SOURCE_DIR}/resources/bleepforge-small.ico
  ${CMAKE_CURRENT_LIST_DIR}/win32_resource.h)

add_executable(bleepforge WIN32 ${CMAKE_CURRENT_LIST_DIR}/win32_main.cpp)
target_link_libraries(bleepforge PRIVATE bleepforge_win32 bleepforge_win32_resources)
target_link_options(bleepforge PRIVATE -municode)
target_compile_options(bleepforge PRIVATE ${BLEEPFORGE_WARNINGS})

if(BLEEPFORGE_TESTS)
  add_subdirectory(${PROJECT_SOURCE_DIR}/tests/windows ${PROJECT_BINARY_DIR}/tests/windows)
endif()
