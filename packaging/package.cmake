# Debian packages, built by CPack from the install rules (make package):
#   vantorama       component runtime: the door, its picture, the guide, the manual pages
#   libdoorkit-dev  component dev: the kit's headers, library, CMake and pkg-config files
# An install rule names its COMPONENT; one that names none goes with the door.
set(VANTORAMA_MAINTAINER "The Vantorama developers <developers@vantorama.example>"
  CACHE STRING "Maintainer field of the Debian packages")

# What Debian asks of every package: its copyright and changelog under share/doc/<package>.
find_program(VANTORAMA_GZIP gzip)
if(VANTORAMA_GZIP)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/changelog)
  execute_process(COMMAND ${VANTORAMA_GZIP} -9 -n -c ${CMAKE_CURRENT_LIST_DIR}/changelog
    OUTPUT_FILE ${CMAKE_BINARY_DIR}/changelog.gz)
  foreach(pkg_comp vantorama:runtime libdoorkit-dev:dev)
    string(REPLACE ":" ";" pkg_comp ${pkg_comp})
    list(GET pkg_comp 0 pkg)
    list(GET pkg_comp 1 comp)
    install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright ${CMAKE_BINARY_DIR}/changelog.gz
      DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${pkg} COMPONENT ${comp})
  endforeach()
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vantorama)
set(CPACK_PACKAGE_VENDOR "The Vantorama developers")
set(CPACK_PACKAGE_CONTACT "${VANTORAMA_MAINTAINER}")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_VANTORAMA_STRIP ${CMAKE_STRIP})
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/prepare.cmake)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING IGNORE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${VANTORAMA_MAINTAINER}")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME vantorama)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "animated demo-scene door for BBS callers
Vantorama is a door for bulletin-board systems on Linux: the board starts
it for one caller, who sees a colour scroller, a centre text that spirals,
marches round a square and lines up, a framed backdrop or a sixel picture,
and, on request, ANSI music, until they press ESC or Q and go back to the
board.
.
The door takes the caller from a drop file (DOOR32.SYS, DOOR.SYS,
DORINFO*.DEF, INFO.*), from an inherited socket named on the command
line, or as a stdio door on a pseudo-terminal, and mirrors the caller's
screen on the sysop's terminal with a status bar.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libdoorkit-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_SUGGESTS "cmake, pkg-config")
set(CPACK_COMPONENT_DEV_DESCRIPTION "door kit for writing BBS doors in C++
The door kit is the static C++ library that the Vantorama door is built
on, for writing doors of your own: start-up from the board's command line
and drop files, the caller's socket with its telnet, ANSI output with
colour codes mirrored on the sysop's screen, key and line input, time and
idle limits, and the status bar.
.
This package holds the headers, the library, and the files that let CMake
and pkg-config find them.")

include(CPack)
