# Read by CPack for each package it makes: the .tar.gz is a folder holding
# bin/, share/man/man1/ and share/doc/, for unpacking under /usr/local, /opt
# or a home folder, where the other packages install under /usr.
if(CPACK_GENERATOR STREQUAL "TGZ")
  set(CPACK_PACKAGING_INSTALL_PREFIX "")
endif()
