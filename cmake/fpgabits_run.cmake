# Runs fpgabits for fpgabits_add_bitstream(), in the directory that is to hold
# fpgabits.i:
#   cmake -Dfpgabits=<program> -Dbitstream=<file> [-Ddevice=<text>] -P fpgabits_run.cmake
# A run that fails leaves no fpgabits.i behind, so that the next build runs
# it again rather than compiling what is left.
execute_process(COMMAND "${fpgabits}" "${bitstream}" RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  file(REMOVE fpgabits.i)
  message(FATAL_ERROR "fpgabits could not convert ${bitstream} (status ${status})")
endif()

# The device type is the third line of fpgabits.i, as a C string literal.
if(NOT device STREQUAL "")
  file(STRINGS fpgabits.i line LIMIT_INPUT 1024 REGEX "^char FPGAtype\\[32\\]=\"")
  string(REGEX MATCH "\"(.*)\"" type "${line}")
  set(type "${CMAKE_MATCH_1}")
  string(TOLOWER "${type}" type_lower)
  string(TOLOWER "${device}" device_lower)
  string(FIND "${type_lower}" "${device_lower}" at)
  if(at EQUAL -1)
    file(REMOVE fpgabits.i)
    get_filename_component(file "${bitstream}" NAME)
    message(FATAL_ERROR "${file} is for ${type}, not ${device}")
  endif()
endif()
