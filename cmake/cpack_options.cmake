# Read by cpack for each package it makes. A Debian package built without
# dpkg-shlibdeps, or without file to find its programs, would have no
# Depends: fail instead.
if(CPACK_GENERATOR STREQUAL "DEB")
  find_program(FPGABITS_DPKG_SHLIBDEPS dpkg-shlibdeps)
  find_program(FPGABITS_FILE file)
  if(NOT FPGABITS_DPKG_SHLIBDEPS OR NOT FPGABITS_FILE)
    message(FATAL_ERROR "cpack -G DEB finds the package's dependencies with dpkg-shlibdeps and file: "
                        "install the Debian packages dpkg-dev and file")
  endif()
endif()
