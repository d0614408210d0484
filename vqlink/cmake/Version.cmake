# The library's version is the whole system's, which lives in one place:
# project() in the top CMakeLists.txt. Sets VQLINK_VERSION from there.
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/../../CMakeLists.txt vqlink_top_project
  REGEX "^project\\(VQArchive VERSION [0-9.]+")
if(NOT vqlink_top_project MATCHES "VERSION ([0-9]+\\.[0-9]+\\.[0-9]+)")
  message(FATAL_ERROR "no version in the top CMakeLists.txt's project()")
endif()
set(VQLINK_VERSION ${CMAKE_MATCH_1})
