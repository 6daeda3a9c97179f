# Fails when a file of SOURCE_DIR that is not named for its platform (name_posix.cpp,
# name_win.cpp) includes a POSIX or Windows header or asks which system it is built for:
# such code compiles on one system only, and the build picks the platform's file instead.
# Those files live in platform/os/ and nowhere else, behind the platform's own headers.
#   cmake -DSOURCE_DIR=src -P platform_headers.cmake
set(_system_headers
  "unistd\\.h" "fcntl\\.h" "poll\\.h" "signal\\.h" "termios\\.h" "pthread\\.h" "dlfcn\\.h"
  "dirent\\.h" "pwd\\.h" "grp\\.h" "pty\\.h" "spawn\\.h" "syslog\\.h" "libgen\\.h"
  "sys/.*" "netinet/.*" "arpa/.*" "linux/.*"
  "windows\\.h" "win[a-z0-9]*\\.h" "io\\.h" "direct\\.h" "process\\.h" "conio\\.h" "tchar\\.h"
  "mmsystem\\.h" "setupapi\\.h" "shlobj\\.h" "shellapi\\.h" "ws2[a-z0-9]*\\.h" "objbase\\.h")
list(JOIN _system_headers "|" _headers)
set(_include_pattern "^[ \t]*#[ \t]*include[ \t]*<(${_headers})>")
set(_platform_test "^[ \t]*#[ \t]*(if|ifdef|ifndef|elif)[ \t].*(_WIN32|_WIN64|_MSC_VER|__MINGW|__linux__|__unix__|__APPLE__|_POSIX_)")

file(GLOB_RECURSE _files RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/*.cpp ${SOURCE_DIR}/*.h)
set(_found "")
foreach(_file ${_files})
  if(_file MATCHES "_(posix|win)\\.(cpp|h)$")
    if(NOT _file MATCHES "^platform/os/")
      string(APPEND _found "  ${_file}: a system's own file outside platform/os/\n")
    endif()
    continue()
  endif()
  file(STRINGS ${SOURCE_DIR}/${_file} _lines REGEX "^[ \t]*#[ \t]*(include|if|elif)")
  foreach(_line ${_lines})
    if(_line MATCHES "${_include_pattern}" OR _line MATCHES "${_platform_test}")
      string(APPEND _found "  ${_file}: ${_line}\n")
    endif()
  endforeach()
endforeach()
if(_found)
  message(FATAL_ERROR "system-specific code outside a file named for its platform "
    "(move it to platform/os/name_posix.cpp / name_win.cpp):\n${_found}")
endif()
list(LENGTH _files _count)
message(STATUS "${_count} files, every system header in a file named for its platform")
