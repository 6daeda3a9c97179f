# The source tree keeps platform differences in files named for their platform.
add_test(NAME source_tree.platform_headers
  COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${PROJECT_SOURCE_DIR}/src
    -P ${CMAKE_CURRENT_SOURCE_DIR}/source_tree/platform_headers.cmake)
set_tests_properties(source_tree.platform_headers PROPERTIES LABELS unit)

# Every include points down the layers.
add_test(NAME source_tree.layers
  COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${PROJECT_SOURCE_DIR}/src
    -P ${CMAKE_CURRENT_SOURCE_DIR}/source_tree/layers.cmake)
set_tests_properties(source_tree.layers PROPERTIES LABELS unit)
