# Installs the build into a fresh prefix, as cmake --install and scripts/install do, and checks what a
# desktop needs: the program with its device library in the program's own library folder, which the
# program's RUNPATH names; the menu entry starting that program by its installed path and passing
# desktop-file-validate; the icon at every size of the hicolor theme and scalable; the copyright file
# and change log. Then builds the Debian package (cpack) and checks it with lintian: no error.
#   cmake -DBUILD_DIR=<build folder> -DPREFIX=<scratch folder> -P InstallTest.cmake

# A tool the check needs: missing, it fails the test on the CI and only warns elsewhere.
function(require_tool variable name)
  find_program(${variable} ${name})
  if(NOT ${variable})
    if("$ENV{CI}" STREQUAL "true")
      message(FATAL_ERROR "${name} is missing (scripts/install-deps installs it)")
    endif()
    message(WARNING "${name} is missing: its check was skipped")
  endif()
  set(${variable} "${${variable}}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}" RESULT_VARIABLE rc
                OUTPUT_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${rc}")
endif()

foreach(file bin/bramlow-file-sync share/applications/bramlow-file-sync.desktop
             share/doc/bramlow-file-sync/copyright share/doc/bramlow-file-sync/changelog.gz
             share/icons/hicolor/scalable/apps/bramlow-file-sync.svg)
  if(NOT EXISTS "${PREFIX}/${file}")
    message(FATAL_ERROR "not installed: ${file}")
  endif()
endforeach()

# The device library: in one folder of the program's own, none of it in the program's folder, and
# that folder named by the program's RUNPATH (relative to the program, so any prefix works).
file(GLOB_RECURSE device RELATIVE "${PREFIX}" "${PREFIX}/*libbfs-rapi.so")
if(NOT device MATCHES "^lib/([^/]+/)?bramlow-file-sync/libbfs-rapi.so$")
  message(FATAL_ERROR "the device library is not (only) in the program's library folder: ${device}")
endif()
require_tool(READELF readelf)
if(READELF)
  execute_process(COMMAND "${READELF}" -d "${PREFIX}/bin/bramlow-file-sync" OUTPUT_VARIABLE dynamic)
  if(NOT dynamic MATCHES "\\(RUNPATH\\)[^\n]*\\[\\$ORIGIN/([^]:]*)\\]")
    message(FATAL_ERROR "the program names no library folder of its own: ${dynamic}")
  endif()
  cmake_path(ABSOLUTE_PATH CMAKE_MATCH_1 BASE_DIRECTORY "${PREFIX}/bin" NORMALIZE OUTPUT_VARIABLE found)
  if(NOT EXISTS "${found}/libbfs-rapi.so")
    message(FATAL_ERROR "the program's RUNPATH ${found} does not hold the device library")
  endif()
endif()

# Each icon is a PNG of its folder's size: width and height are the 4-byte numbers at offset 16.
foreach(size_hex 16:10 24:18 32:20 48:30 64:40 128:80 256:100)
  string(REPLACE ":" ";" size_hex "${size_hex}")
  list(GET size_hex 0 size)
  list(GET size_hex 1 hex)
  string(REGEX MATCH "........$" dimension "0000000${hex}")
  set(icon "${PREFIX}/share/icons/hicolor/${size}x${size}/apps/bramlow-file-sync.png")
  if(NOT EXISTS "${icon}")
    message(FATAL_ERROR "not installed: the ${size}-pixel icon")
  endif()
  file(READ "${icon}" header LIMIT 24 HEX)
  if(NOT header MATCHES "^89504e470d0a1a0a0000000d49484452${dimension}${dimension}$")
    message(FATAL_ERROR "the ${size}-pixel icon is no ${size} by ${size} PNG: ${header}")
  endif()
endforeach()
file(READ "${PREFIX}/share/icons/hicolor/scalable/apps/bramlow-file-sync.svg" svg)
if(NOT svg MATCHES "^<svg [^>]*viewBox=")
  message(FATAL_ERROR "the scalable icon is no SVG picture")
endif()

set(entry "${PREFIX}/share/applications/bramlow-file-sync.desktop")
file(STRINGS "${entry}" exec REGEX "^Exec=")
if(NOT exec STREQUAL "Exec=${PREFIX}/bin/bramlow-file-sync")
  message(FATAL_ERROR "the menu entry does not start the installed program: ${exec}")
endif()
file(STRINGS "${entry}" icon REGEX "^Icon=")
if(NOT icon STREQUAL "Icon=bramlow-file-sync")
  message(FATAL_ERROR "the menu entry names another icon: ${icon}")
endif()

require_tool(VALIDATE desktop-file-validate)
if(VALIDATE)
  execute_process(COMMAND "${VALIDATE}" "${entry}" RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  # It reports hints as well as errors; any report is a fault of the entry.
  if(NOT rc EQUAL 0 OR NOT out STREQUAL "")
    message(FATAL_ERROR "desktop-file-validate: ${out}")
  endif()
endif()

# The Debian package of the same build, checked as the archive checks packages. Warnings are the
# packager's to weigh; an error fails the test.
require_tool(CPACK cpack)
require_tool(LINTIAN lintian)
if(CPACK AND LINTIAN)
  execute_process(COMMAND "${CPACK}" -G DEB -B "${PREFIX}/package" --config "${BUILD_DIR}/CPackConfig.cmake"
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  file(GLOB deb "${PREFIX}/package/*.deb")
  if(NOT rc EQUAL 0 OR NOT deb)
    message(FATAL_ERROR "cpack -G DEB failed: ${out}")
  endif()
  execute_process(COMMAND "${LINTIAN}" --tag-display-limit 0 "${deb}" OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(out MATCHES "(^|\n)E: ")
    message(FATAL_ERROR "lintian finds errors in the package:\n${out}")
  endif()
  # The change log's latest entry is the package's version.
  execute_process(COMMAND dpkg-deb -f "${deb}" Version OUTPUT_VARIABLE version OUTPUT_STRIP_TRAILING_WHITESPACE)
  execute_process(COMMAND dpkg-deb --fsys-tarfile "${deb}" COMMAND tar -xO ./usr/share/doc/bramlow-file-sync/changelog.gz
                  COMMAND gzip -dc OUTPUT_VARIABLE changelog)
  if(version STREQUAL "" OR NOT changelog MATCHES "^bramlow-file-sync \\(${version}\\) ")
    message(FATAL_ERROR "the package's version ${version} is not its change log's latest")
  endif()
endif()
file(REMOVE_RECURSE "${PREFIX}")
