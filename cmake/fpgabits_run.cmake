# Runs the programs for fpgabits_add_bitstream() and fpgabits_add_image().
#   cmake -Dfpgabits=<program> -Dbitstream=<file> -Doutput=<dir>/fpgabits.i
#         [-Ddevice=<text>] -Ddeflate=<program> [-Dfingerprint=ON]
#         -Dvalues=<dir>/values.i [-Dwindow=<bytes>] -P fpgabits_run.cmake
# For fpgabits_add_bitstream(): with fingerprint, fpgabits-deflate first
# writes a copy of the bitstream with its fingerprint, which the steps after
# take instead. fpgabits converts it into fpgabits.i; fpgabits-deflate reads
# it in the loader's check pass for the values of <name>.h, into values.i,
# and with a window compresses the data into <dir>/compressed.i.
#   cmake -Dfpgabits=<program> -Dbitstream=<file> -Doutput=<dir>/fpgabits.i
#         [-Ddevice=<text>] [-Ddeflate=<program>] [-Dfingerprint=ON]
#         -Dimage=<file> [-Dwindow=<bytes>] -P fpgabits_run.cmake
# For fpgabits_add_image(): the same copy with fingerprint; fpgabits only
# checks the bitstream, its output deleted after, and the image is a copy of
# the bitstream or, with a window, a gzip file of it that fpgabits-deflate
# makes, named as the bitstream is.
# A run that fails, or a bitstream refused, leaves no file behind, so that
# the next build runs it again rather than compiling what is left; an image
# is written under another name and renamed when complete.
get_filename_component(dir "${output}" DIRECTORY)
get_filename_component(name "${bitstream}" NAME)
set(copy "${dir}/fingerprinted.bit")
set(compressed "${dir}/compressed.i")
set(made "${output}" "${copy}")
if(DEFINED image)
  list(APPEND made "${image}")
else()
  list(APPEND made "${values}" "${compressed}")
endif()
file(MAKE_DIRECTORY "${dir}")
file(REMOVE ${made})

# Stops the build with a message, leaving none of the files.
function(stop message)
  file(REMOVE ${made})
  message(FATAL_ERROR "${message}")
endfunction()

set(input "${bitstream}")
if(fingerprint)
  execute_process(COMMAND "${deflate}" --fingerprint "${bitstream}" "${copy}"
                  RESULT_VARIABLE status ERROR_VARIABLE printed)
  if(NOT status EQUAL 0)
    string(STRIP "${printed}" printed)
    stop("fpgabits-deflate could not put a fingerprint into ${bitstream} (status ${status}): ${printed}")
  endif()
  set(input "${copy}")
endif()

execute_process(COMMAND "${fpgabits}" "${input}" WORKING_DIRECTORY "${dir}"
                RESULT_VARIABLE status OUTPUT_VARIABLE printed)
if(NOT status EQUAL 0)
  string(STRIP "${printed}" printed)
  stop("fpgabits could not convert ${bitstream} (status ${status}): ${printed}")
endif()
# No FPGA can be configured from nothing, and C allows no empty array.
if(printed STREQUAL "Config file read is 0 bytes\n")
  stop("${bitstream} holds no configuration data: its data length is 0")
endif()

if(NOT device STREQUAL "")
  # The device type is the third line of fpgabits.i, as the body of a C
  # string literal: \" \\ \? and three-digit octal escapes stand for bytes.
  file(STRINGS "${output}" line LIMIT_INPUT 1024 REGEX "^char FPGAtype\\[32\\]=\"")
  string(REGEX MATCH "\"(.*)\"" literal "${line}")
  set(literal "${CMAKE_MATCH_1}")
  set(type "")
  string(LENGTH "${literal}" length)
  set(at 0)
  while(at LESS length)
    string(SUBSTRING "${literal}" ${at} 1 char)
    if(char STREQUAL "\\")
      math(EXPR at "${at} + 1")
      string(SUBSTRING "${literal}" ${at} 3 octal)
      if(octal MATCHES "^([0-7])([0-7])([0-7])$")
        math(EXPR code "${CMAKE_MATCH_1} * 64 + ${CMAKE_MATCH_2} * 8 + ${CMAKE_MATCH_3}")
        string(ASCII ${code} char)
        math(EXPR at "${at} + 2")
      else()
        string(SUBSTRING "${literal}" ${at} 1 char)
      endif()
    endif()
    string(APPEND type "${char}")
    math(EXPR at "${at} + 1")
  endwhile()

  string(TOLOWER "${type}" type_lower)
  string(TOLOWER "${device}" device_lower)
  string(FIND "${type_lower}" "${device_lower}" found)
  if(found EQUAL -1)
    stop("${name} is for ${type}, not ${device}")
  endif()
endif()

if(DEFINED image)
  file(REMOVE "${output}")
  get_filename_component(image_dir "${image}" DIRECTORY)
  file(MAKE_DIRECTORY "${image_dir}")
  set(partial "${image}.part")
  list(APPEND made "${partial}")
  if(DEFINED window)
    execute_process(COMMAND "${deflate}" --gzip ${window} "${input}" "${partial}" "${name}"
                    RESULT_VARIABLE status ERROR_VARIABLE printed)
  else()
    file(COPY_FILE "${input}" "${partial}" RESULT status)
    set(printed "${status}")
  endif()
  if(NOT status EQUAL 0)
    string(STRIP "${printed}" printed)
    stop("could not write the image of ${bitstream}: ${printed}")
  endif()
  file(RENAME "${partial}" "${image}")
  file(REMOVE "${copy}")
  return()
endif()

execute_process(COMMAND "${deflate}" --check "${input}" "${values}" RESULT_VARIABLE status ERROR_VARIABLE printed)
if(status EQUAL 0 AND DEFINED window)
  execute_process(COMMAND "${deflate}" ${window} "${output}" "${compressed}" RESULT_VARIABLE status
                  ERROR_VARIABLE printed)
endif()
if(NOT status EQUAL 0)
  string(STRIP "${printed}" printed)
  stop("fpgabits-deflate failed on ${bitstream} (status ${status}): ${printed}")
endif()
file(REMOVE "${copy}")
