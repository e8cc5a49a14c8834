# The Debian package (scripts/package): manual pages, the changelog and the
# copyright file generated at build time, the guide and the examples, and the
# CPack setup. Off by default, so ordinary builds need no help2man.
option(BLEEPFORGE_PACKAGE "Set up the Debian package (man pages, copyright, CPack)" OFF)
if(NOT BLEEPFORGE_PACKAGE)
  return()
endif()
if(NOT TARGET bleepforge OR NOT TARGET bleepforge-render)
  message(FATAL_ERROR "The package needs both programs; the player needs Qt 6 Widgets (qt6-base-dev).")
endif()

find_program(HELP2MAN help2man REQUIRED)
find_program(GZIP gzip REQUIRED)
include(GNUInstallDirs)

set(BLEEPFORGE_MAINTAINER "the bleepforge authors <maintainers@users.noreply.c-seed-c986132b.example>"
  CACHE STRING "The package's Maintainer field")
set(pkg_dir ${PROJECT_BINARY_DIR}/package)
set(doc_dir ${CMAKE_INSTALL_DATADIR}/doc/bleepforge)
# Dates honour SOURCE_DATE_EPOCH (scripts/package sets it to the last commit's).
string(TIMESTAMP BLEEPFORGE_MAN_DATE "%Y-%m-%d" UTC)
string(TIMESTAMP changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)

# The copyright file in Debian's machine-readable format, from LICENSE: the
# copyright line and the licence text after it.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/LICENSE)
file(READ ${PROJECT_SOURCE_DIR}/LICENSE license_text)
if(NOT license_text MATCHES "Copyright \\(c\\) ([^\n]+)\n(.+)$")
  message(FATAL_ERROR "LICENSE: no \"Copyright (c)\" line followed by the licence text")
endif()
set(copyright_holder "${CMAKE_MATCH_1}")
string(STRIP "${CMAKE_MATCH_2}" license_body)
string(REGEX REPLACE "\n[ \t]*\n" "\n.\n" license_body "${license_body}")
string(REPLACE "\n" "\n " license_body "${license_body}")
file(CONFIGURE OUTPUT ${pkg_dir}/copyright CONTENT
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: bleepforge
Comment: The programs use shared libraries from other Debian packages (among
 them Qt 6 and ALSA's libasound, both LGPL); each keeps its own licence, found
 in that package's copyright file.

Files: *
Copyright: ${copyright_holder}
License: Expat
 ${license_body}
" @ONLY)

# A native package's changelog: one entry for this version.
file(CONFIGURE OUTPUT ${pkg_dir}/changelog CONTENT
"bleepforge (${PROJECT_VERSION}) unstable; urgency=medium

  * Version ${PROJECT_VERSION}.

 -- ${BLEEPFORGE_MAINTAINER}  ${changelog_date}
" @ONLY)

configure_file(${PROJECT_SOURCE_DIR}/docs/man/bleepforge.1.in ${pkg_dir}/bleepforge.1 @ONLY)

# bleepforge-render's page comes from its --help, so it cannot fall behind.
# help2man takes the synopsis from "Usage:" and "  or:" lines: a stand-in of
# the same name passes the renderer's --help on with its usage lines so spelt.
set(render_page ${pkg_dir}/gz/bleepforge-render.1)
set(render_for_help2man ${pkg_dir}/help2man/bleepforge-render)
file(GENERATE OUTPUT ${render_for_help2man} CONTENT "#!/bin/sh
[ \"$1\" = --help ] || exec '$<TARGET_FILE:bleepforge-render>' \"$@\"
'$<TARGET_FILE:bleepforge-render>' --help | sed -e '1s/^usage:/Usage:/' -e '2,/^$/s/^       /  or:  /'
" FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
add_custom_command(OUTPUT ${render_page}.gz
  COMMAND ${CMAKE_COMMAND} -E make_directory ${pkg_dir}/gz
  COMMAND ${HELP2MAN} --no-info --version-string=${PROJECT_VERSION} "--source=bleepforge ${PROJECT_VERSION}"
          "--name=render MML chiptune songs to WAV files"
          --include=${PROJECT_SOURCE_DIR}/docs/man/bleepforge-render.h2m
          --output=${render_page} ${render_for_help2man}
  COMMAND ${GZIP} -9nf ${render_page}
  DEPENDS bleepforge-render ${PROJECT_SOURCE_DIR}/docs/man/bleepforge-render.h2m
  VERBATIM)

# Debian wants manual pages and changelogs compressed, without name or time stamp.
set(gz_outputs ${render_page}.gz)
foreach(file bleepforge.1 changelog)
  add_custom_command(OUTPUT ${pkg_dir}/gz/${file}.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${pkg_dir}/${file} ${pkg_dir}/gz/${file}
    COMMAND ${GZIP} -9nf ${pkg_dir}/gz/${file}
    DEPENDS ${pkg_dir}/${file}
    VERBATIM)
  list(APPEND gz_outputs ${pkg_dir}/gz/${file}.gz)
endforeach()
add_custom_target(bleepforge_package_files ALL DEPENDS ${gz_outputs})

install(FILES ${pkg_dir}/gz/bleepforge.1.gz ${render_page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${pkg_dir}/copyright ${pkg_dir}/gz/changelog.gz ${PROJECT_SOURCE_DIR}/README.md
  DESTINATION ${doc_dir})
# The guide keeps its folder, so the links between README, guide and examples hold.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION ${doc_dir}/docs
  FILES_MATCHING PATTERN "*.md" PATTERN "man" EXCLUDE)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/ DESTINATION ${doc_dir}/examples)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME bleepforge)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "the bleepforge authors")
set(CPACK_PACKAGE_CONTACT "${BLEEPFORGE_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${BLEEPFORGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "chiptune player for MML song files")
set(CPACK_PACKAGE_DESCRIPTION
"bleepforge plays songs written in a music macro language (MML): plain text
files of up to eight tracks of chip-style sound (pulse waves, sawtooth,
smooth and stepped triangle, two kinds of noise), synthesized sample for
sample at 44100 Hz, 16-bit stereo.

The player window plays a song file dropped on it, reloads it from disk
while it is being edited and records what was played to a WAV file. The
command-line renderer bleepforge-render writes songs to WAV files, checks
them for mistakes and plays them in a terminal. A guide to the song format
and example songs are included.")
include(CPack)
