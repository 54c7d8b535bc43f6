# fpgabits_add_bitstream(<target> <bitstream> [NAME <name>] [SECTION <section>]
#                        [ALIGN <bytes>] [DEVICE <text>])
#
# Compiles the FPGA configuration in <bitstream> into <target> as read-only
# data, so that firmware keeps it in flash. <target> gets <name>.h on its
# include path, declaring for C and C++:
#
#   extern const unsigned char <name>_data[];  the configuration data
#   extern const size_t <name>_size;           its length in bytes
#   extern const char <name>_design[32];       design name
#   extern const char <name>_device[32];       device type
#   extern const char <name>_date[32];         build date and time
#
# NAME defaults to the bitstream's file name without its extension, made a C
# identifier. SECTION and ALIGN place the data in a linker section and on an
# address that is a multiple of ALIGN bytes. DEVICE fails the build when the
# bitstream's device type does not contain the text (in any case).
#
# fpgabits runs in a directory of its own for each bitstream, and again when
# the bitstream or the program changes. The program is the fpgabits::fpgabits
# target, or FPGABITS_EXECUTABLE when that is set.
include_guard(GLOBAL)

set(FPGABITS_EXECUTABLE "" CACHE FILEPATH "fpgabits program to run instead of the fpgabits::fpgabits target")

function(fpgabits_add_bitstream target bitstream)
  set(usage "fpgabits_add_bitstream(<target> <bitstream> [NAME <name>] [SECTION <section>] [ALIGN <bytes>] [DEVICE <text>])")
  cmake_parse_arguments(PARSE_ARGV 2 arg "" "NAME;SECTION;ALIGN;DEVICE" "")
  if(arg_UNPARSED_ARGUMENTS)
    list(GET arg_UNPARSED_ARGUMENTS 0 word)
    message(FATAL_ERROR "fpgabits_add_bitstream: unknown argument \"${word}\"; the call is ${usage}")
  endif()
  if(arg_KEYWORDS_MISSING_VALUES)
    message(FATAL_ERROR "fpgabits_add_bitstream: ${arg_KEYWORDS_MISSING_VALUES} needs a value; the call is ${usage}")
  endif()

  if(NOT TARGET "${target}")
    message(FATAL_ERROR "fpgabits_add_bitstream: there is no target \"${target}\"; "
                        "call it after the add_executable() or add_library() that creates the target")
  endif()
  get_target_property(aliased "${target}" ALIASED_TARGET)
  if(aliased)
    set(target "${aliased}")
  endif()
  get_target_property(type "${target}" TYPE)
  get_target_property(imported "${target}" IMPORTED)
  if(imported OR type STREQUAL "INTERFACE_LIBRARY" OR type STREQUAL "UTILITY")
    message(FATAL_ERROR "fpgabits_add_bitstream: \"${target}\" is not a target that compiles sources; "
                        "give an executable or a library built by this project")
  endif()

  get_filename_component(bitstream "${bitstream}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
  get_source_file_property(generated "${bitstream}" GENERATED)
  if(NOT EXISTS "${bitstream}" AND NOT generated)
    message(FATAL_ERROR "fpgabits_add_bitstream: there is no bitstream file ${bitstream}")
  endif()

  if(DEFINED arg_NAME)
    set(name "${arg_NAME}")
  else()
    get_filename_component(name "${bitstream}" NAME_WLE)
    string(MAKE_C_IDENTIFIER "${name}" name)
  endif()
  if(NOT name MATCHES "^[A-Za-z_][A-Za-z0-9_]*$")
    message(FATAL_ERROR "fpgabits_add_bitstream: NAME \"${name}\" is not a C identifier; "
                        "use letters, digits and '_', not starting with a digit")
  endif()
  # The names become global symbols and a directory in the build tree.
  get_property(first GLOBAL PROPERTY "FPGABITS_NAME_${name}")
  if(first)
    message(FATAL_ERROR "fpgabits_add_bitstream: NAME \"${name}\" is used twice, for ${first} and ${bitstream}; "
                        "give each bitstream a NAME of its own")
  endif()
  set_property(GLOBAL PROPERTY "FPGABITS_NAME_${name}" "${bitstream}")

  if(DEFINED arg_SECTION AND NOT arg_SECTION MATCHES "^[A-Za-z0-9_.]+$")
    message(FATAL_ERROR "fpgabits_add_bitstream: SECTION \"${arg_SECTION}\" is not a section name; "
                        "use letters, digits, '_' and '.'")
  endif()
  if(DEFINED arg_ALIGN)
    set(rest 1)
    if(arg_ALIGN MATCHES "^[1-9][0-9]?[0-9]?[0-9]?[0-9]?[0-9]?[0-9]?[0-9]?[0-9]?$")
      math(EXPR rest "${arg_ALIGN} & (${arg_ALIGN} - 1)")
    endif()
    if(NOT rest EQUAL 0)
      message(FATAL_ERROR "fpgabits_add_bitstream: ALIGN ${arg_ALIGN} is not a power of two; "
                          "give the alignment in bytes: 1, 2, 4, 8 ...")
    endif()
  endif()

  get_property(languages GLOBAL PROPERTY ENABLED_LANGUAGES)
  if(NOT "C" IN_LIST languages)
    message(FATAL_ERROR "fpgabits_add_bitstream: the data is compiled as C; enable C with project() or enable_language(C)")
  endif()
  if(FPGABITS_EXECUTABLE)
    if(NOT IS_ABSOLUTE "${FPGABITS_EXECUTABLE}" OR NOT EXISTS "${FPGABITS_EXECUTABLE}")
      message(FATAL_ERROR "fpgabits_add_bitstream: FPGABITS_EXECUTABLE is \"${FPGABITS_EXECUTABLE}\"; "
                          "give the full path of an fpgabits program")
    endif()
    set(program "${FPGABITS_EXECUTABLE}")
    set(program_dependency "${FPGABITS_EXECUTABLE}")
  elseif(TARGET fpgabits::fpgabits)
    get_target_property(installed fpgabits::fpgabits IMPORTED)
    if(CMAKE_CROSSCOMPILING AND NOT installed)
      message(FATAL_ERROR "fpgabits_add_bitstream: fpgabits built in this cross build runs on the target only; "
                          "install fpgabits on the build machine and use find_package(fpgabits), "
                          "or set FPGABITS_EXECUTABLE")
    endif()
    set(program "$<TARGET_FILE:fpgabits::fpgabits>")
    set(program_dependency fpgabits::fpgabits)
  else()
    message(FATAL_ERROR "fpgabits_add_bitstream: no fpgabits program; call find_package(fpgabits) first, "
                        "or set FPGABITS_EXECUTABLE")
  endif()

  set(dir "${CMAKE_CURRENT_BINARY_DIR}/fpgabits/${name}")
  file(MAKE_DIRECTORY "${dir}")
  add_custom_command(
    OUTPUT "${dir}/fpgabits.i"
    COMMAND "${CMAKE_COMMAND}" "-Dfpgabits=${program}" "-Dbitstream=${bitstream}" "-Ddevice=${arg_DEVICE}"
            -P "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/fpgabits_run.cmake"
    DEPENDS "${bitstream}" ${program_dependency} "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/fpgabits_run.cmake"
    WORKING_DIRECTORY "${dir}"
    COMMENT "Converting ${bitstream}"
    VERBATIM)
  add_custom_target("fpgabits-${name}" DEPENDS "${dir}/fpgabits.i")
  add_dependencies("${target}" "fpgabits-${name}")

  # The data is compiled on its own, from fpgabits.i as the program wrote it:
  # each declaration gains a const and the name asked for.
  string(TOUPPER "${name}" guard)
  file(CONFIGURE OUTPUT "${dir}/include/${name}.h" @ONLY CONTENT [[
/* The FPGA configuration from @bitstream@.
 * Generated by fpgabits_add_bitstream(): do not edit. */
#ifndef FPGABITS_@guard@_H
#define FPGABITS_@guard@_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

extern const unsigned char @name@_data[]; /* configuration data */
extern const size_t @name@_size;          /* its length in bytes */
extern const char @name@_design[32];      /* design name */
extern const char @name@_device[32];      /* device type */
extern const char @name@_date[32];        /* build date and time */

#ifdef __cplusplus
}
#endif

#endif
]])
  set(placement "")
  if(DEFINED arg_SECTION OR DEFINED arg_ALIGN)
    set(attributes "")
    if(DEFINED arg_SECTION)
      list(APPEND attributes "section(\"${arg_SECTION}\")")
    endif()
    if(DEFINED arg_ALIGN)
      list(APPEND attributes "aligned(${arg_ALIGN})")
    endif()
    list(JOIN attributes ", " attributes)
    set(placement "extern const unsigned char ${name}_data[] __attribute__((${attributes}));\n")
  endif()
  file(CONFIGURE OUTPUT "${dir}/${name}.c" @ONLY CONTENT [[
/* The FPGA configuration from @bitstream@.
 * Generated by fpgabits_add_bitstream(): do not edit. */
#include "include/@name@.h"
@placement@
#define FPGAappl const @name@_design
#define FPGAtype const @name@_device
#define FPGAdate const @name@_date
#define FPGABITS const @name@_data
#include "fpgabits.i"

const size_t @name@_size = sizeof @name@_data;
]])
  target_sources("${target}" PRIVATE "${dir}/${name}.c")
  target_include_directories("${target}" PRIVATE "${dir}/include")
endfunction()
