# fpgabits_add_image(<name> <bitstream> OUTPUT <file> [COMPRESS [WINDOW <bytes>]]
#                    [DEVICE <text>] [FINGERPRINT])
#
# Adds the target <name>, built by default, that writes <file>, an image file
# for the firmware to read from an SD card, external flash or a link with
# fpgabits_image_begin() of fpgabits::loader: a copy of the bitstream file, or
# with COMPRESS a gzip file (RFC 1952) of it, made by zlib at its best level
# with a window of WINDOW bytes (a power of two from 512 to 32768, by default
# 1024), the bitstream's file name in its header and no time stamp. gunzip
# reads it; the firmware reads it with a work area of
# FPGABITS_IMAGE_WORK_SIZE(WINDOW) bytes, far less than the 32 KiB window of
# gzip -9.
#
# A relative <file> is taken from the binary directory; its directory is
# made. A relative <bitstream> is found as by fpgabits_add_bitstream(). The
# target checks the bitstream with fpgabits first: one that fpgabits cannot
# read, one with no configuration data and, with DEVICE, one whose device
# type does not contain the text (in any case) fail the build with the
# messages of fpgabits_add_bitstream(), and leave no <file>. It runs again
# when the bitstream or the programs change.
#
# With FINGERPRINT, the image is made of the bitstream with a fingerprint, as
# fpgabits_add_bitstream(... FINGERPRINT) makes it: the CRC-32 of its
# configuration data written to AXSS, which the image reader's info gives as
# usr_access. The bitstreams that it refuses fail the build with its message.
#
# The programs are fpgabits::fpgabits and, for COMPRESS and FINGERPRINT,
# fpgabits::deflate, or FPGABITS_EXECUTABLE and FPGABITS_DEFLATE_EXECUTABLE
# when those are set. COMPRESS needs an fpgabits built with zlib.
include_guard(GLOBAL)
include("${CMAKE_CURRENT_LIST_DIR}/fpgabits_add_bitstream.cmake")

function(fpgabits_add_image name bitstream)
  string(CONCAT usage "fpgabits_add_image(<name> <bitstream> OUTPUT <file> [COMPRESS [WINDOW <bytes>]] "
         "[DEVICE <text>] [FINGERPRINT])")
  cmake_parse_arguments(PARSE_ARGV 2 arg "COMPRESS;FINGERPRINT" "OUTPUT;WINDOW;DEVICE" "")
  if(arg_UNPARSED_ARGUMENTS)
    list(GET arg_UNPARSED_ARGUMENTS 0 word)
    message(FATAL_ERROR "fpgabits_add_image: unknown argument \"${word}\"; the call is ${usage}")
  endif()
  if(arg_KEYWORDS_MISSING_VALUES)
    message(FATAL_ERROR "fpgabits_add_image: ${arg_KEYWORDS_MISSING_VALUES} needs a value; the call is ${usage}")
  endif()
  if(NOT DEFINED arg_OUTPUT)
    message(FATAL_ERROR "fpgabits_add_image: OUTPUT is missing: name the image file to write; the call is ${usage}")
  endif()
  if(TARGET "${name}")
    message(FATAL_ERROR "fpgabits_add_image: there is already a target \"${name}\"; "
                        "give the image's target a name of its own")
  endif()

  _fpgabits_find_bitstream(fpgabits_add_image bitstream)
  get_filename_component(image "${arg_OUTPUT}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_BINARY_DIR}")
  _fpgabits_program(fpgabits_add_image fpgabits FPGABITS_EXECUTABLE fpgabits::fpgabits)
  _fpgabits_window(fpgabits_add_image)
  set(deflate_arguments "")
  set(deflate_dependency "")
  if(arg_COMPRESS OR arg_FINGERPRINT)
    _fpgabits_program(fpgabits_add_image deflate FPGABITS_DEFLATE_EXECUTABLE fpgabits::deflate)
    list(APPEND deflate_arguments "-Ddeflate=${deflate}")
  endif()
  if(arg_COMPRESS)
    list(APPEND deflate_arguments "-Dwindow=${arg_WINDOW}")
  endif()
  if(arg_FINGERPRINT)
    list(APPEND deflate_arguments "-Dfingerprint=ON")
  endif()

  # fpgabits checks the bitstream in a directory of the target's own.
  add_custom_command(
    OUTPUT "${image}"
    COMMAND "${CMAKE_COMMAND}" "-Dfpgabits=${fpgabits}" "-Dbitstream=${bitstream}"
            "-Doutput=${CMAKE_CURRENT_BINARY_DIR}/fpgabits/${name}/fpgabits.i" "-Ddevice=${arg_DEVICE}"
            "-Dimage=${image}" ${deflate_arguments} -P "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/fpgabits_run.cmake"
    DEPENDS "${bitstream}" ${fpgabits_dependency} ${deflate_dependency}
            "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/fpgabits_run.cmake"
    COMMENT "Writing the image ${image}"
    VERBATIM)
  add_custom_target("${name}" ALL DEPENDS "${image}")
endfunction()
