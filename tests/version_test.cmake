# What --version says of each kind of source folder: cmake/version.cmake run
# on a scratch clone in each state. cmake -DSOURCE=... -DWORK=... -P this file.
find_package(Git REQUIRED)
set(git ${GIT_EXECUTABLE} -c user.name=t -c user.email=t@t -c commit.gpgsign=false -c tag.gpgsign=false)
file(REMOVE_RECURSE ${WORK})

function(commit dir)
  file(APPEND ${dir}/file "x\n")
  execute_process(COMMAND ${git} add file WORKING_DIRECTORY ${dir})
  execute_process(COMMAND ${git} commit -q -m x WORKING_DIRECTORY ${dir})
endfunction()

# expect ROW FOLDER PATTERN: the version written for FOLDER matches PATTERN.
function(expect row dir pattern)
  execute_process(COMMAND ${CMAKE_COMMAND} -DVERSION=1.0.0 -DSOURCE_DIR=${dir} -DOUTPUT=${WORK}/version.h -P
                          ${SOURCE}/cmake/version.cmake)
  file(STRINGS ${WORK}/version.h header)
  if(NOT header MATCHES "^#define SVFSPLIT_VERSION \"${pattern}\"$")
    message(SEND_ERROR "${row}: ${header}")
  endif()
  file(REMOVE ${WORK}/version.h)
endfunction()

set(clone ${WORK}/clone)
file(MAKE_DIRECTORY ${clone})
expect("no git" ${clone} "1\\.0\\.0")
execute_process(COMMAND ${git} init -q WORKING_DIRECTORY ${clone})
commit(${clone})
expect("no tag" ${clone} "1\\.0\\.0-g[0-9a-f]+")
execute_process(COMMAND ${git} tag v1.0.0 WORKING_DIRECTORY ${clone})
expect("tagged" ${clone} "1\\.0\\.0")
commit(${clone})
commit(${clone})
expect("after a tag" ${clone} "1\\.0\\.0-2-g[0-9a-f]+")
file(APPEND ${clone}/file "changed\n")
expect("changes not committed" ${clone} "1\\.0\\.0-2-g[0-9a-f]+-dirty")
# Sources unpacked in a folder of another repository, tagged otherwise.
execute_process(COMMAND ${git} tag v7.3 WORKING_DIRECTORY ${clone})
file(MAKE_DIRECTORY ${clone}/unpacked)
expect("inside another repository" ${clone}/unpacked "1\\.0\\.0")
file(REMOVE_RECURSE ${WORK})
