# Installs the build into a fresh prefix, as cmake --install and scripts/install do, and checks what a
# desktop needs: the program with its device library beside it (where the device binding looks), the
# menu entry starting that program by its installed path and passing desktop-file-validate, and the
# icon at 32 and 64 pixels in the hicolor theme.
#   cmake -DBUILD_DIR=<build folder> -DPREFIX=<scratch folder> -P InstallTest.cmake

file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}" RESULT_VARIABLE rc
                OUTPUT_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${rc}")
endif()

foreach(file bin/bramlow-file-sync bin/libbfs-rapi.so share/applications/bramlow-file-sync.desktop)
  if(NOT EXISTS "${PREFIX}/${file}")
    message(FATAL_ERROR "not installed: ${file}")
  endif()
endforeach()

# Each icon is a PNG of its folder's size: width and height are the 4-byte numbers at offset 16.
foreach(size_hex 32:00000020 64:00000040)
  string(REPLACE ":" ";" size_hex "${size_hex}")
  list(GET size_hex 0 size)
  list(GET size_hex 1 dimension)
  set(icon "${PREFIX}/share/icons/hicolor/${size}x${size}/apps/bramlow-file-sync.png")
  if(NOT EXISTS "${icon}")
    message(FATAL_ERROR "not installed: the ${size}-pixel icon")
  endif()
  file(READ "${icon}" header LIMIT 24 HEX)
  if(NOT header MATCHES "^89504e470d0a1a0a0000000d49484452${dimension}${dimension}$")
    message(FATAL_ERROR "the ${size}-pixel icon is no ${size} by ${size} PNG: ${header}")
  endif()
endforeach()

set(entry "${PREFIX}/share/applications/bramlow-file-sync.desktop")
file(STRINGS "${entry}" exec REGEX "^Exec=")
if(NOT exec STREQUAL "Exec=${PREFIX}/bin/bramlow-file-sync")
  message(FATAL_ERROR "the menu entry does not start the installed program: ${exec}")
endif()
file(STRINGS "${entry}" icon REGEX "^Icon=")
if(NOT icon STREQUAL "Icon=bramlow-file-sync")
  message(FATAL_ERROR "the menu entry names another icon: ${icon}")
endif()

find_program(VALIDATE desktop-file-validate)
if(NOT VALIDATE)
  if("$ENV{CI}" STREQUAL "true")
    message(FATAL_ERROR "desktop-file-validate is missing (scripts/install-deps installs it)")
  endif()
  message(WARNING "desktop-file-validate is missing: the menu entry was not validated")
else()
  execute_process(COMMAND "${VALIDATE}" "${entry}" RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  # It reports hints as well as errors; any report is a fault of the entry.
  if(NOT rc EQUAL 0 OR NOT out STREQUAL "")
    message(FATAL_ERROR "desktop-file-validate: ${out}")
  endif()
endif()
file(REMOVE_RECURSE "${PREFIX}")
