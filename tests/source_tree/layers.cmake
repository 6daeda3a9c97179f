# Fails when an include points up the layers: the protocol folders (crypto, image, bsl, link)
# and the run's shared state (run) take nothing from the application, a front end, the Qt back
# ends or the virtual drive, and no Qt header at all; run/ takes nothing from the protocol,
# and the drive link only the loader's status codes from bsl/.
#   cmake -DSOURCE_DIR=src -P layers.cmake
set(_rules
  "crypto|app/|cli/|platform/qt/|sim/|run/|image/|bsl/|link/"
  "run|app/|cli/|platform/qt/|sim/|image/|bsl/|link/|crypto/"
  "bsl|app/|cli/|platform/qt/|sim/|image/|link/"
  "link|app/|cli/|platform/qt/|sim/|image/"
  "image|app/|cli/|platform/qt/|sim/|link/"
  "platform|app/|cli/|sim/|run/|image/|bsl/|link/|crypto/")
set(_found "")
set(_count 0)
foreach(_rule ${_rules})
  string(REPLACE "|" ";" _parts "${_rule}")
  list(POP_FRONT _parts _folder)
  list(JOIN _parts "|" _above)
  file(GLOB_RECURSE _files RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/${_folder}/*.cpp
    ${SOURCE_DIR}/${_folder}/*.h)
  foreach(_file ${_files})
    # The Qt back ends are the platform's own upper half.
    if(_file MATCHES "^platform/qt/")
      continue()
    endif()
    math(EXPR _count "${_count} + 1")
    file(STRINGS ${SOURCE_DIR}/${_file} _lines REGEX "^[ \t]*#[ \t]*include")
    foreach(_line ${_lines})
      if(_line MATCHES "#[ \t]*include[ \t]*\"(${_above})" OR _line MATCHES "#[ \t]*include[ \t]*<Q")
        string(APPEND _found "  ${_file}: ${_line}\n")
      endif()
    endforeach()
  endforeach()
endforeach()
if(_found)
  message(FATAL_ERROR "includes that point up the layers:\n${_found}")
endif()
message(STATUS "${_count} files, every include pointing down")
