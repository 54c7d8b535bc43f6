# Installs the tool, its manual page and its CMake package, and describes the
# Debian package that CPack makes of them.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS fpgabits EXPORT fpgabits-targets RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS fpgabits-deflate EXPORT fpgabits-targets RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/fpgabits)
# The loader's sources, for the target's compiler: through fpgabits::loader,
# or copied into any project.
install(TARGETS fpgabits_loader EXPORT fpgabits-targets)
install(FILES loader/fpgabits_load.h loader/fpgabits_internal.h loader/fpgabits_load.c loader/fpgabits_jtag.c
              loader/fpgabits_stream.c loader/fpgabits_inflate.c loader/fpgabits_image.c
        DESTINATION ${FPGABITS_LOADER_DIR})
# The FPGA model's sources, through fpgabits::model.
install(TARGETS fpgabits_model EXPORT fpgabits-targets)
install(FILES tests/fpga_model.h tests/fpga_model.c DESTINATION ${FPGABITS_MODEL_DIR})

# Debian wants the manual page and its changelog compressed; -n leaves the
# name and time stamp out, so the same sources give the same package.
find_program(FPGABITS_GZIP gzip REQUIRED)
add_custom_command(
  OUTPUT changelog.Debian.gz
  COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/docs/debian/changelog changelog.Debian
  COMMAND ${FPGABITS_GZIP} -9nf changelog.Debian
  DEPENDS ${PROJECT_SOURCE_DIR}/docs/debian/changelog
  VERBATIM)
add_custom_target(fpgabits-changelog ALL DEPENDS changelog.Debian.gz)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/changelog.Debian.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The manual page names the directories of the CMake package and the loader,
# which are known only when installing: cpack installs into /usr whatever the
# build's prefix.
set(package_dir ${CMAKE_INSTALL_DATADIR}/cmake/fpgabits)
install(CODE "
  set(FPGABITS_PACKAGE_DIR \"\${CMAKE_INSTALL_PREFIX}/${package_dir}\")
  set(FPGABITS_LOADER_DIR \"\${CMAKE_INSTALL_PREFIX}/${FPGABITS_LOADER_DIR}\")
  configure_file(\"${PROJECT_SOURCE_DIR}/docs/fpgabits.1\" \"${CMAKE_CURRENT_BINARY_DIR}/man/fpgabits.1\" @ONLY)
  execute_process(COMMAND \"${FPGABITS_GZIP}\" -9nf \"${CMAKE_CURRENT_BINARY_DIR}/man/fpgabits.1\" COMMAND_ERROR_IS_FATAL ANY)")
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/man/fpgabits.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES docs/debian/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})

# fpgabits-load, built on Linux, its manual page, and the stand-in for the
# kernel's devices that lets it load the model. The stand-in is for
# LD_PRELOAD alone, so it has a private directory and no version in its name;
# two levels below lib/, as cpack makes a package run ldconfig for a library
# in lib/ or a directory of it.
if(TARGET fpgabits-load)
  install(TARGETS fpgabits-load RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(TARGETS fpgabits_standin LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/fpgabits/preload)
  add_custom_command(
    OUTPUT fpgabits-load.1.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/load/fpgabits-load.1 fpgabits-load.1
    COMMAND ${FPGABITS_GZIP} -9nf fpgabits-load.1
    DEPENDS ${PROJECT_SOURCE_DIR}/load/fpgabits-load.1
    VERBATIM)
  add_custom_target(fpgabits-load-manual ALL DEPENDS fpgabits-load.1.gz)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/fpgabits-load.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

# The package holds no code compiled for the target system, only the build
# machine's tool, a function and the loader's sources, so one package serves
# builds for any target.
install(EXPORT fpgabits-targets NAMESPACE fpgabits:: DESTINATION ${package_dir})
# 2.0 added JTAG and readback and kept every 1.x call, member and file:
# builds that ask for a 1.x version take a newer one.
write_basic_package_version_file(fpgabits-config-version.cmake COMPATIBILITY AnyNewerVersion ARCH_INDEPENDENT)
install(FILES cmake/fpgabits-config.cmake cmake/fpgabits_add_bitstream.cmake cmake/fpgabits_add_image.cmake
              cmake/fpgabits_run.cmake ${CMAKE_CURRENT_BINARY_DIR}/fpgabits-config-version.cmake
        DESTINATION ${package_dir})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME fpgabits)
set(CPACK_PACKAGE_CONTACT "fpgabits developers <fpgabits@users.noreply.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "turn an FPGA configuration bitstream into C array source")
set(CPACK_PACKAGE_DESCRIPTION
    "fpgabits reads an FPGA configuration bitstream file and writes fpgabits.i,\n\
a C source fragment that declares the design name, device type and build\n\
date as strings and the configuration data as the byte array FPGABITS, so\n\
that firmware can compile the configuration in and load the FPGA itself.\n\
\n\
The package also holds a CMake package: find_package(fpgabits) and\n\
fpgabits_add_bitstream() compile a bitstream into a firmware image as\n\
read-only data that stays in flash.\n\
\n\
fpgabits-load configures an FPGA from a Linux board over SPI and GPIO\n\
(spidev and the GPIO character device) with a bitstream file, a gzip file\n\
of one or raw configuration data, and checks the whole file before it\n\
resets the FPGA.\n\
\n\
For tests without a board, a model of an FPGA's configuration logic\n\
(fpgabits::model, C99 sources) takes the place of the FPGA behind a port of\n\
the loader, and a stand-in for the kernel's SPI and GPIO devices, preloaded,\n\
puts it behind fpgabits-load.")
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION embedded)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/cpack_options.cmake)
set(CPACK_STRIP_FILES ON)
include(CPack)
