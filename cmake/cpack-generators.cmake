# Read by CPack for each package it makes.
# The .tar.gz is a folder holding bin/, share/man/man1/ and share/doc/, for
# unpacking under /usr/local, /opt or a home folder, where the other
# packages install under /usr.
if(CPACK_GENERATOR STREQUAL "TGZ")
  set(CPACK_PACKAGING_INSTALL_PREFIX "")
endif()
# The .deb holds its copyright file, its changelog and its lintian overrides too.
if(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_INSTALLED_DIRECTORIES "${CPACK_SVFSPLIT_DEB_ONLY};/usr")
endif()
