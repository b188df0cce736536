# Run by CPack once it has installed what a package holds, before packing
# it: every file and folder gets the same mode whatever the umask (0755 for
# folders and programs, 0644 for the rest), and the time SOURCE_DATE_EPOCH
# where it is set (packaging/release sets it to the commit's), so that
# every build of a commit makes the same bytes. packaging/release packs as
# root, or under fakeroot, so that the archives name no other owner.
execute_process(COMMAND chmod -R u=rwX,go=rX ${CPACK_TEMPORARY_DIRECTORY} COMMAND_ERROR_IS_FATAL ANY)
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  execute_process(COMMAND find ${CPACK_TEMPORARY_DIRECTORY} -exec touch -h -d @$ENV{SOURCE_DATE_EPOCH} {} +
                  COMMAND_ERROR_IS_FATAL ANY)
endif()
