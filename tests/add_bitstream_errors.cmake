cmake_minimum_required(VERSION 3.22)
# Calls fpgabits_add_bitstream() and fpgabits_add_image() wrongly in a
# scratch project and checks that configuration stops with a message from the
# function last called that says what is wrong, or for a bitstream that the
# programs refuse, that the build does; a right call must pass. Then builds
# fpgabits without zlib, as a subproject, with a call without COMPRESS and
# with FINGERPRINT.
#   cmake -DSOURCE_DIR=<fpgabits source> -DWORK_DIR=<scratch> -DFPGABITS=<fpgabits>
#         -DDEFLATE=<fpgabits-deflate> -DMKBITSTREAM=<mkbitstream> -P this
#
# Each row: the calls after project(errors C) and add_executable(app main.c),
# or instead of them where the row starts with project(), then a regular
# expression that the message must match, or "" where configuration must pass.
# Where configuration passes and a message is wanted, the build must fail with
# it. The programs are set to those given, ${fpgabits} is the fpgabits source
# tree, a.bit and sub/a.bit are empty, corrupt.bit fails its CRC check, and
# crc16.bit and narrow.bit hold streams of 32-bit words with CRC-16 and of
# 16-bit words.
set(rows
  [[fpgabits_add_bitstream(nosuch a.bit)]]
  [[there is no target "nosuch"]]
  [[fpgabits_add_bitstream(app missing.bit)]]
  [[there is no bitstream file .*/missing.bit]]
  [[fpgabits_add_bitstream(app made.bit) add_custom_command(OUTPUT made.bit COMMAND make_it)]]
  ""
  [[fpgabits_add_bitstream(app a.bit NAME 2fast)]]
  [[NAME "2fast" is not a C identifier]]
  [[fpgabits_add_bitstream(app a.bit NAME fpga-a)]]
  [[NAME "fpga-a" is not a C identifier]]
  [[fpgabits_add_bitstream(app a.bit) fpgabits_add_bitstream(app sub/a.bit)]]
  [[NAME "a" is used twice in "app", for .*/a.bit and .*/sub/a.bit]]
  [[fpgabits_add_bitstream(app a.bit ALIGN 12)]]
  [[ALIGN 12 is not a power of two]]
  [[fpgabits_add_bitstream(app a.bit ALIGN 0)]]
  [[ALIGN 0 is not a power of two]]
  [[fpgabits_add_bitstream(app a.bit ALIGN 4k)]]
  [[ALIGN 4k is not a power of two]]
  [[fpgabits_add_bitstream(app a.bit SECTION ".fpga data")]]
  [[SECTION ".fpga data" is not a section name]]
  [[fpgabits_add_bitstream(app a.bit ALIGNMENT 4)]]
  [[unknown argument "ALIGNMENT"]]
  [[fpgabits_add_bitstream(app a.bit NAME)]]
  [[NAME needs a value]]
  [[unset(FPGABITS_DEFLATE_EXECUTABLE) fpgabits_add_bitstream(app a.bit)]]
  [[no fpgabits-deflate program for the build machine. call find_package\(fpgabits\) first, or set FPGABITS_DEFLATE_EXECUTABLE]]
  [[set(CMAKE_DISABLE_FIND_PACKAGE_ZLIB ON) add_subdirectory(${fpgabits} fpgabits) unset(FPGABITS_EXECUTABLE) unset(FPGABITS_DEFLATE_EXECUTABLE) fpgabits_add_bitstream(app a.bit COMPRESS)]]
  [[COMPRESS needs an fpgabits-deflate built with zlib, and this fpgabits was built without it.*zlib1g-dev]]
  [[fpgabits_add_bitstream(app a.bit COMPRESS WINDOW 1000)]]
  [[WINDOW 1000 is not a power of two from 512 to 32768]]
  [[fpgabits_add_bitstream(app a.bit WINDOW 1024)]]
  [[WINDOW goes with COMPRESS]]
  [[add_executable(fpgabits main.c) add_executable(fpgabits::fpgabits ALIAS fpgabits) set(CMAKE_CROSSCOMPILING ON) unset(FPGABITS_EXECUTABLE) fpgabits_add_bitstream(app a.bit)]]
  [[fpgabits built in this cross build runs on the target only]]
  [[project(errors CXX) add_subdirectory(c) add_executable(cxxapp main.cpp) fpgabits_add_bitstream(cxxapp a.bit)]]
  [[the data is compiled as C, which this directory has not enabled]]
  [[fpgabits_add_bitstream(app a.bit) fpgabits_add_bitstream(app sub/a.bit NAME b SECTION .fpga ALIGN 4096 DEVICE 7a35t)]]
  ""
  [[fpgabits_add_bitstream(app a.bit COMPRESS WINDOW 32768)]]
  ""
  [[fpgabits_add_image(image a.bit COMPRESS)]]
  [[OUTPUT is missing]]
  [[fpgabits_add_image(image a.bit OUTPUT a.bit.gz COMPRESS WINDOW 64k)]]
  [[WINDOW 64k is not a power of two from 512 to 32768]]
  [[fpgabits_add_image(image a.bit OUTPUT a.bit.gz WINDOW 1024)]]
  [[WINDOW goes with COMPRESS]]
  [[fpgabits_add_image(image a.bit OUTPUT a.bit.gz LEVEL 9)]]
  [[unknown argument "LEVEL"]]
  [[fpgabits_add_image(app a.bit OUTPUT app.bit)]]
  [[there is already a target "app"]]
  [[fpgabits_add_image(image missing.bit OUTPUT a.bit)]]
  [[there is no bitstream file .*/missing.bit]]
  [[set(CMAKE_DISABLE_FIND_PACKAGE_ZLIB ON) add_subdirectory(${fpgabits} fpgabits) unset(FPGABITS_EXECUTABLE) unset(FPGABITS_DEFLATE_EXECUTABLE) fpgabits_add_image(image a.bit OUTPUT a.bit) fpgabits_add_image(packed a.bit OUTPUT a.bit.gz COMPRESS)]]
  [[COMPRESS needs an fpgabits-deflate built with zlib, and this fpgabits was built without it.*zlib1g-dev]]
  [[fpgabits_add_image(image made.bit OUTPUT card/a.bit.gz COMPRESS WINDOW 512 DEVICE 7a35t) add_custom_command(OUTPUT made.bit COMMAND make_it)]]
  ""
  [[fpgabits_add_bitstream(app corrupt.bit)]]
  [[fpgabits-deflate failed on .*/corrupt.bit .*: fails the loader's check pass: CRC error]]
  [[fpgabits_add_bitstream(app crc16.bit FINGERPRINT)]]
  [[could not put a fingerprint into .*/crc16.bit .*: no fingerprint: its stream writes the frame length \(FLR]]
  [[fpgabits_add_image(image narrow.bit OUTPUT narrow.bit.gz COMPRESS FINGERPRINT)]]
  [[could not put a fingerprint into .*/narrow.bit .*: no fingerprint: its stream has 16-bit words]]
  [[add_custom_command(OUTPUT twice.bit COMMAND "${FPGABITS_DEFLATE_EXECUTABLE}" --fingerprint "${fpgabits}/examples/sample.bit" twice.bit) fpgabits_add_bitstream(app twice.bit FINGERPRINT)]]
  [[could not put a fingerprint into .*/twice.bit .*: no fingerprint: its stream writes the user-access register \(AXSS, register 0D\) itself]])

set(project "${WORK_DIR}/project")
file(REMOVE_RECURSE "${WORK_DIR}")
file(WRITE "${project}/main.c" "int main(void) { return 0; }\n")
file(WRITE "${project}/a.bit" "")
file(WRITE "${project}/sub/a.bit" "")
file(WRITE "${project}/main.cpp" "int main() { return 0; }\n")
foreach(made unknown:corrupt 3s500evq100:crc16 6slx9tqg144:narrow)
  string(REPLACE ":" ";" made "${made}")
  list(GET made 0 device)
  list(GET made 1 name)
  execute_process(COMMAND "${MKBITSTREAM}" --device ${device} "${project}/${name}.bit" COMMAND_ERROR_IS_FATAL ANY)
endforeach()
# A subproject whose project() enables C for itself alone.
file(WRITE "${project}/c/CMakeLists.txt" "project(c C)\n")

set(failures 0)
list(LENGTH rows length)
math(EXPR last "${length} - 1")
foreach(i RANGE 0 ${last} 2)
  math(EXPR j "${i} + 1")
  list(GET rows ${i} calls)
  string(REPLACE ") " ")\n" calls "${calls}")
  list(GET rows ${j} wanted)
  string(REGEX MATCHALL "fpgabits_add_[a-z]+" called "${calls}")
  list(GET called -1 function)
  if(NOT calls MATCHES "^project\\(")
    string(PREPEND calls "project(errors C)\nadd_executable(app main.c)\n")
  endif()
  file(WRITE "${project}/CMakeLists.txt" "cmake_minimum_required(VERSION 3.22)
include(\"${SOURCE_DIR}/cmake/fpgabits_add_image.cmake\")
set(FPGABITS_EXECUTABLE \"${FPGABITS}\")
set(FPGABITS_DEFLATE_EXECUTABLE \"${DEFLATE}\")
set(fpgabits \"${SOURCE_DIR}\")
${calls}
")
  # The same build tree each time, so that the compiler is examined once.
  execute_process(COMMAND "${CMAKE_COMMAND}" -S "${project}" -B "${WORK_DIR}/build"
                  RESULT_VARIABLE status OUTPUT_QUIET ERROR_VARIABLE errors)
  # CMake wraps long messages; join their lines again.
  string(REGEX REPLACE "\n  " " " errors "${errors}")
  if(wanted STREQUAL "")
    set(ok FALSE)
    if(status EQUAL 0)
      set(ok TRUE)
    endif()
  elseif(status EQUAL 0)
    execute_process(COMMAND "${CMAKE_COMMAND}" --build "${WORK_DIR}/build" RESULT_VARIABLE status
                    OUTPUT_VARIABLE errors ERROR_VARIABLE errors)
    string(REGEX REPLACE "\n  " " " errors "${errors}")
    set(ok FALSE)
    if(NOT status EQUAL 0 AND errors MATCHES "${wanted}")
      set(ok TRUE)
    endif()
  else()
    set(ok FALSE)
    if(NOT status EQUAL 0 AND errors MATCHES "${function}: ${wanted}")
      set(ok TRUE)
    endif()
  endif()
  if(ok)
    message(STATUS "ok: ${calls}")
  else()
    message(STATUS "FAIL: ${calls}\n  status ${status}, wanted \"${wanted}\", got:\n${errors}")
    math(EXPR failures "${failures} + 1")
  endif()
endforeach()

# Without zlib, fpgabits-deflate builds all the same, finds the IDCODE and
# writes the fingerprint, the CRC-32 of sample.bit's data.
file(WRITE "${project}/CMakeLists.txt" "cmake_minimum_required(VERSION 3.22)
project(nozlib C)
set(CMAKE_DISABLE_FIND_PACKAGE_ZLIB ON)
set(FPGABITS_WERROR ON)
add_subdirectory(\"${SOURCE_DIR}\" fpgabits)
add_executable(app idcode.c)
fpgabits_add_bitstream(app \"${SOURCE_DIR}/examples/sample.bit\" FINGERPRINT)
")
file(WRITE "${project}/idcode.c" "#include <stdio.h>
#include \"sample.h\"
int main(void) {
    printf(\"IDCODE %08lx, USR_ACCESS %08lx\\n\", (unsigned long)sample_idcode, (unsigned long)sample_usr_access);
    return 0;
}
")
set(build "${WORK_DIR}/nozlib")
execute_process(COMMAND "${CMAKE_COMMAND}" -S "${project}" -B "${build}" OUTPUT_QUIET
                RESULT_VARIABLE status ERROR_VARIABLE errors)
if(status EQUAL 0)
  execute_process(COMMAND "${CMAKE_COMMAND}" --build "${build}" --target app RESULT_VARIABLE status
                  OUTPUT_VARIABLE errors ERROR_VARIABLE errors)
endif()
if(status EQUAL 0)
  execute_process(COMMAND "${build}/app" RESULT_VARIABLE status OUTPUT_VARIABLE printed)
endif()
if(status EQUAL 0 AND printed STREQUAL "IDCODE 0362d093, USR_ACCESS 50a80455\n")
  message(STATUS "ok: without zlib, a call with FINGERPRINT and without COMPRESS builds and has both values")
else()
  message(STATUS "FAIL: without zlib, a call with FINGERPRINT and without COMPRESS: status ${status}, "
                 "printed \"${printed}\":\n${errors}")
  math(EXPR failures "${failures} + 1")
endif()

if(failures)
  message(FATAL_ERROR "${failures} calls were not handled as they should be")
endif()
