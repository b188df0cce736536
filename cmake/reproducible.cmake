# Run by CPack once it has installed what a package holds, before packing
# it: every file and folder gets the same mode whatever the umask, and the
# time SOURCE_DATE_EPOCH where it is set (packaging/release sets it to the
# commit's), so that every build of a commit makes the same bytes.
file(GLOB_RECURSE entries LIST_DIRECTORIES true "${CPACK_TEMPORARY_DIRECTORY}/*")
list(APPEND entries "${CPACK_TEMPORARY_DIRECTORY}")
foreach(entry IN LISTS entries)
  if(IS_DIRECTORY "${entry}")
    file(CHMOD "${entry}" DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
         WORLD_READ WORLD_EXECUTE)
  endif()
endforeach()
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  find_program(touch touch)
  if(touch)
    execute_process(COMMAND ${touch} -h -d @$ENV{SOURCE_DATE_EPOCH} ${entries} COMMAND_ERROR_IS_FATAL ANY)
  endif()
endif()
