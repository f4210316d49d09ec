# Installs the desktop entry with the program's installed path in its Exec line, so that the menu
# starts the program whether or not the install's bin folder is on the PATH. Run by cmake --install
# (and by a package build), when the prefix is known. Set by the caller: BFS_ENTRY_SOURCE (the
# entry), BFS_ENTRY_STAGED (where the written entry is kept before it is installed), BFS_BINDIR and
# BFS_APPDIR (the program's and the entries' folders, relative to the prefix or absolute).

cmake_path(ABSOLUTE_PATH BFS_BINDIR BASE_DIRECTORY "${CMAKE_INSTALL_PREFIX}" NORMALIZE OUTPUT_VARIABLE exe)
string(APPEND exe "/bramlow-file-sync")
# A path with anything but plain characters is quoted; inside the quotes \ " ` $ are escaped, and
# the entry's own escaping doubles every backslash once more. A % is doubled everywhere.
if(NOT exe MATCHES "^[A-Za-z0-9/._+-]+$")
  string(REPLACE "\\" "\\\\\\\\" exe "${exe}")
  string(REPLACE "\"" "\\\\\"" exe "${exe}")
  string(REPLACE "`" "\\\\`" exe "${exe}")
  string(REPLACE "$" "\\\\$" exe "${exe}")
  string(REPLACE "%" "%%" exe "${exe}")
  set(exe "\"${exe}\"")
endif()
file(READ "${BFS_ENTRY_SOURCE}" entry)
# A regular expression's replacement text takes two backslashes for one.
string(REPLACE "\\" "\\\\" exe "${exe}")
string(REGEX REPLACE "\nExec=[^\n]*" "\nExec=${exe}" entry "${entry}")
file(WRITE "${BFS_ENTRY_STAGED}" "${entry}")
cmake_path(ABSOLUTE_PATH BFS_APPDIR BASE_DIRECTORY "${CMAKE_INSTALL_PREFIX}" NORMALIZE OUTPUT_VARIABLE appdir)
file(INSTALL DESTINATION "${appdir}" TYPE FILE FILES "${BFS_ENTRY_STAGED}")
