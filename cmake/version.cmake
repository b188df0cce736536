# Writes OUTPUT, a header that defines SVFSPLIT_VERSION: the release
# VERSION at a commit tagged vVERSION, else what git says of the build
# (1.0.0-14-gdf9f0ee after a tag, 1.0.0-gdf9f0ee with none, -dirty for
# changes not committed), or VERSION alone where git or the history is
# absent, or SOURCE_DIR is not the top of a clone. Written only when the
# text changes, so that a build compiles again only what a new version
# touches.
set(version ${VERSION})
find_package(Git QUIET)
# Git is asked only when the source folder is the top of its own clone:
# the sources unpacked inside another repository (a distribution's
# packaging, say) would otherwise be named by that repository's history.
if(GIT_FOUND)
  execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --show-toplevel WORKING_DIRECTORY ${SOURCE_DIR}
                  OUTPUT_VARIABLE top RESULT_VARIABLE failed OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  get_filename_component(top "${top}" REALPATH)
  get_filename_component(source "${SOURCE_DIR}" REALPATH)
  if(failed OR NOT top STREQUAL source)
    set(GIT_FOUND FALSE)
  endif()
endif()
if(GIT_FOUND)
  execute_process(COMMAND ${GIT_EXECUTABLE} describe --tags --match "v[0-9]*" --dirty
                  WORKING_DIRECTORY ${SOURCE_DIR} OUTPUT_VARIABLE described RESULT_VARIABLE failed
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(NOT failed)
    string(REGEX REPLACE "^v" "" version "${described}")
  else()
    execute_process(COMMAND ${GIT_EXECUTABLE} describe --always --dirty WORKING_DIRECTORY ${SOURCE_DIR}
                    OUTPUT_VARIABLE described RESULT_VARIABLE failed OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(NOT failed AND described MATCHES "^[0-9a-f]+(-dirty)?$")
      set(version "${VERSION}-g${described}")
    endif()
  endif()
endif()
file(CONFIGURE OUTPUT ${OUTPUT} CONTENT "#define SVFSPLIT_VERSION \"${version}\"\n")
