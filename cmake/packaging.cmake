# Installation and the Debian package (included from CMakeLists.txt).
#
# `cmake --install` puts in place the stripped program, its manual page
# ornat-cli(1) (made by help2man from --help at build time), its bash
# completion, the README, the licence notices (the machine-readable
# copyright file) and, when the repository has it, the Ansible collection.
# CPack makes the Debian package from the same rules: scripts/package.sh
# drives it in a build of its own.

include(GNUInstallDirs)

set(ORNAT_PACKAGE_MAINTAINER "ornat-cli maintainers <maintainers@users.noreply.c-seed-04587bfc.example>"
  CACHE STRING "Maintainer named in the Debian package and its changelog")
set(ORNAT_DEB_RELEASE 1)
set(ORNAT_PKG_DIR ${PROJECT_BINARY_DIR}/packaging)

# The version of project(), for scripts/package.sh (also of the Windows
# build, so that it can tell a stale .exe).
file(WRITE ${ORNAT_PKG_DIR}/version "${PROJECT_VERSION}\n")

# The Windows build ships as a zip that scripts/package.sh assembles.
if(WIN32 OR CMAKE_CROSSCOMPILING)
  return()
endif()

# Dates in the changelog and the manual page: SOURCE_DATE_EPOCH, else the
# time of the last commit, so that a package build is repeatable.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(ORNAT_SOURCE_DATE_EPOCH $ENV{SOURCE_DATE_EPOCH})
else()
  execute_process(COMMAND git -C ${PROJECT_SOURCE_DIR} log -1 --format=%ct
    OUTPUT_VARIABLE ORNAT_SOURCE_DATE_EPOCH OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
set(ornat_date_env)
if(ORNAT_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
  set(ENV{SOURCE_DATE_EPOCH} ${ORNAT_SOURCE_DATE_EPOCH})
  set(ornat_date_env SOURCE_DATE_EPOCH=${ORNAT_SOURCE_DATE_EPOCH})
endif()

# --- Manual page -------------------------------------------------------

# Puts the "Exit status" section of README.md into `out` as roff: each
# table row a tagged paragraph, the text after the table paragraphs.
function(ornat_readme_exit_status out)
  file(READ ${PROJECT_SOURCE_DIR}/README.md readme)
  string(FIND "${readme}" "\n## Exit status\n" start)
  if(start EQUAL -1)
    message(FATAL_ERROR "README.md has no \"## Exit status\" section for the manual page")
  endif()
  math(EXPR start "${start} + 15")
  string(SUBSTRING "${readme}" ${start} -1 text)
  string(FIND "${text}" "\n## " end)
  string(SUBSTRING "${text}" 0 ${end} text)
  string(STRIP "${text}" text)
  # Anchored at "\n" throughout: CMake's "^" also matches where a previous
  # match ended.
  set(text "\n${text}")
  string(REPLACE "\\" "\\e" text "${text}")
  string(REGEX REPLACE "\n([.'])" "\n\\\\&\\1" text "${text}")
  # The header row and the rule below it go; each other row becomes a .TP.
  string(REGEX REPLACE "\n\\|[^\n]*\n\\|[-| ]+\\|\n" "\n" text "${text}")
  string(REGEX REPLACE "\n\\| ([^|\n]*) \\| ([^\n]*) \\|" "\n.TP\n.B \\1\n\\2" text "${text}")
  string(REPLACE "-" "\\-" text "${text}")
  string(REGEX REPLACE "`([^`]*)`" "\\\\fB\\1\\\\fR" text "${text}")
  string(REGEX REPLACE "\n\n+" "\n.PP\n" text "${text}")
  string(STRIP "${text}" text)
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/README.md)
ornat_readme_exit_status(ORNAT_MAN_EXIT_STATUS)
set(ORNAT_MAN_DOC_DIR ${CMAKE_INSTALL_FULL_DOCDIR})
set(ORNAT_ANSIBLE_DIR ${PROJECT_SOURCE_DIR}/ansible/ansible_collections)
set(ORNAT_MAN_SEE_ALSO_EXTRA "")
if(EXISTS ${ORNAT_ANSIBLE_DIR})
  set(ORNAT_MAN_SEE_ALSO_EXTRA "\n.PP\nThe Ansible collection of ornat\\-cli is in\n.IR ${CMAKE_INSTALL_FULL_DATADIR}/ornat\\-cli/ansible_collections .")
endif()
configure_file(${PROJECT_SOURCE_DIR}/packaging/ornat-cli.h2m.in ${ORNAT_PKG_DIR}/ornat-cli.h2m @ONLY)

# help2man names the page after the program it runs, and reads the
# synopsis and the option and action lists from --help. The lines before
# "Usage:" (the banner and a short legacy overview) are left out: the
# include file gives the DESCRIPTION.
file(GENERATE OUTPUT ${ORNAT_PKG_DIR}/help2man/ornat-cli
  CONTENT "#!/bin/sh\n\"$<TARGET_FILE:ornat-cli>\" \"$@\" | sed -n '/^Usage:/,$p'\n"
  FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

find_program(ORNAT_HELP2MAN help2man)
find_program(ORNAT_GZIP gzip)
if(ORNAT_HELP2MAN AND ORNAT_GZIP)
  add_custom_command(OUTPUT ${ORNAT_PKG_DIR}/ornat-cli.1.gz
    COMMAND ${CMAKE_COMMAND} -E env ${ornat_date_env} LC_ALL=C.UTF-8
      ${ORNAT_HELP2MAN} --no-info --section=1 --version-string=${PROJECT_VERSION}
      "--name=maintain networked DALI lighting controllers (TARNEL-1 to TARNEL-4)"
      --include=${ORNAT_PKG_DIR}/ornat-cli.h2m --output=${ORNAT_PKG_DIR}/ornat-cli.1
      ${ORNAT_PKG_DIR}/help2man/ornat-cli
    COMMAND ${ORNAT_GZIP} -9nf ${ORNAT_PKG_DIR}/ornat-cli.1
    DEPENDS ornat-cli ${ORNAT_PKG_DIR}/ornat-cli.h2m
    COMMENT "Generating the manual page ornat-cli.1.gz"
    VERBATIM)
  add_custom_target(ornat-cli-man ALL DEPENDS ${ORNAT_PKG_DIR}/ornat-cli.1.gz)
else()
  message(STATUS "help2man or gzip not found: no manual page is built or installed")
endif()

# --- Licence notices and the Debian changelog --------------------------

# A licence text as the field continuation lines of a copyright file.
function(ornat_dep5_text name file)
  file(READ ${file} text)
  string(REGEX REPLACE "^[ \t\r\n]*\n" "" text "${text}")
  string(REGEX REPLACE "[ \t\r\n]+$" "" text "${text}")
  string(REGEX REPLACE "[ \t]+\n" "\n" text "${text}")
  string(REPLACE "\n\n" "\n.\n" text "${text}")
  string(REPLACE "\n\n" "\n.\n" text "${text}")
  string(REPLACE "\n" "\n " text " ${text}")
  set(ORNAT_DEP5_${name} "${text}" PARENT_SCOPE)
endfunction()

foreach(name curl libzip xz xz-0BSD zstd bzip2 zlib)
  ornat_dep5_text(${name} ${PROJECT_SOURCE_DIR}/third_party/licenses/${name}.txt)
endforeach()
configure_file(${PROJECT_SOURCE_DIR}/packaging/copyright.in ${ORNAT_PKG_DIR}/copyright @ONLY)

string(TIMESTAMP ORNAT_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog.in ${ORNAT_PKG_DIR}/changelog.Debian @ONLY)
if(ORNAT_GZIP)
  add_custom_command(OUTPUT ${ORNAT_PKG_DIR}/changelog.Debian.gz
    COMMAND ${ORNAT_GZIP} -9nkf ${ORNAT_PKG_DIR}/changelog.Debian
    DEPENDS ${ORNAT_PKG_DIR}/changelog.Debian
    VERBATIM)
  add_custom_target(ornat-cli-changelog ALL DEPENDS ${ORNAT_PKG_DIR}/changelog.Debian.gz)
endif()

# --- Install rules -----------------------------------------------------

set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

install(TARGETS ornat-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# Stripped as Debian strips its programs (the symbols and the .comment and
# .note sections go; the build id stays).
if(CMAKE_STRIP)
  install(CODE "execute_process(COMMAND \"${CMAKE_STRIP}\" --strip-unneeded --remove-section=.comment
    --remove-section=.note \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/ornat-cli\"
    COMMAND_ERROR_IS_FATAL ANY)")
endif()
if(ORNAT_HELP2MAN AND ORNAT_GZIP)
  install(FILES ${ORNAT_PKG_DIR}/ornat-cli.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/packaging/ornat-cli.bash-completion
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME ornat-cli)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${ORNAT_PKG_DIR}/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The Debian changelog goes into the package only (component "deb", which
# a plain `cmake --install` leaves out).
if(ORNAT_GZIP)
  install(FILES ${ORNAT_PKG_DIR}/changelog.Debian.gz DESTINATION ${CMAKE_INSTALL_DOCDIR}
    COMPONENT deb EXCLUDE_FROM_ALL)
endif()
# The Ansible collection, once the repository holds it. Its modules may
# start with "#!/usr/bin/python", which lintian would take for a program's
# interpreter: packaging/lintian-overrides says why that is right.
if(EXISTS ${ORNAT_ANSIBLE_DIR})
  install(DIRECTORY ${ORNAT_ANSIBLE_DIR}/ DESTINATION ${CMAKE_INSTALL_DATADIR}/ornat-cli/ansible_collections
    PATTERN __pycache__ EXCLUDE PATTERN *.pyc EXCLUDE)
  file(GLOB_RECURSE ornat_ansible_python CONFIGURE_DEPENDS ${ORNAT_ANSIBLE_DIR}/*.py)
  foreach(module ${ornat_ansible_python})
    file(STRINGS ${module} first_line LIMIT_COUNT 1)
    if(first_line MATCHES "^#! */usr/bin/python$")
      install(FILES ${PROJECT_SOURCE_DIR}/packaging/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
        RENAME ornat-cli COMPONENT deb EXCLUDE_FROM_ALL)
      break()
    endif()
  endforeach()
endif()

# --- Debian package (CPack) --------------------------------------------

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${ORNAT_PACKAGE_MAINTAINER})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS ${CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS})
# Everything that `cmake --install` installs, and the changelog.
set(CPACK_INSTALL_CMAKE_PROJECTS
  "${PROJECT_BINARY_DIR};${PROJECT_NAME};ALL;/" "${PROJECT_BINARY_DIR};${PROJECT_NAME};deb;/")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${ORNAT_DEB_RELEASE})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${ORNAT_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION [=[maintain networked DALI lighting controllers (TARNEL-1 to -4)
ornat-cli maintains networked DALI lighting controllers of the TARNEL-1 to
TARNEL-4 models over HTTP and TFTP. Field technicians and integrators run it
from a terminal or a script to back up a controller's whole configuration
into one zip archive, to restore such a backup, to upgrade the controller's
firmware from an encrypted firmware package and confirm that it runs it, to
set up DALI channels from CSV files, and to read the controller's status and
flash images. Backups can be checked, compared and exported to CSV files
without any network.]=])
include(CPack)

# The bash completion knows exactly the options and actions of --help.
if(ORNAT_TESTS)
  add_test(NAME completion COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/test-package.sh completion
    $<TARGET_FILE:ornat-cli>)
  set_tests_properties(completion PROPERTIES TIMEOUT 60)
endif()
