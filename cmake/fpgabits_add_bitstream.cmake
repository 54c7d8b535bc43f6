# fpgabits_add_bitstream(<target> <bitstream> [NAME <name>] [SECTION <section>]
#                        [ALIGN <bytes>] [DEVICE <text>])
#
# Compiles the FPGA configuration in <bitstream> into <target> as read-only
# data, so that firmware keeps it in flash. <target> gets <name>.h on its
# include path, and passes it on to what links it, declaring for C and C++:
#
#   extern const unsigned char <name>_data[];  the configuration data
#   extern const size_t <name>_size;           its length in bytes
#   extern const char <name>_design[32];       design name
#   extern const char <name>_device[32];       device type
#   extern const char <name>_date[32];         build date and time
#
# NAME defaults to the bitstream's file name without its extension, made a C
# identifier; each NAME may be used once per target. SECTION and ALIGN place
# the data in a linker section and on an address that is a multiple of ALIGN
# bytes. DEVICE fails the build when the bitstream's device type does not
# contain the text (in any case). A relative <bitstream> is taken from the
# source directory, or else from the binary directory, where a custom command
# of the same directory may make it, before or after this call.
#
# fpgabits runs in a directory of its own for each target and name, and again
# when the bitstream or the program changes. The program is the
# fpgabits::fpgabits target, or FPGABITS_EXECUTABLE when that is set.
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

  # A relative name is found as add_custom_command() finds a dependency: in
  # the source directory if it is there, else in the binary directory, where
  # the build may make it.
  get_filename_component(source "${bitstream}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
  get_filename_component(bitstream "${bitstream}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_BINARY_DIR}")
  if(EXISTS "${source}")
    set(bitstream "${source}")
  elseif(NOT EXISTS "${bitstream}")
    # The rule that makes it may come later in this directory.
    cmake_language(EVAL CODE "cmake_language(DEFER CALL _fpgabits_check_bitstream [==[${source}]==] [==[${bitstream}]==])")
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
  # The names become symbols, which must differ among what is linked
  # together; the same bitstream may go into any number of targets.
  get_property(first TARGET "${target}" PROPERTY "FPGABITS_NAME_${name}")
  if(first)
    message(FATAL_ERROR "fpgabits_add_bitstream: NAME \"${name}\" is used twice in \"${target}\", for ${first} "
                        "and ${bitstream}; give each bitstream a NAME of its own")
  endif()
  set_property(TARGET "${target}" PROPERTY "FPGABITS_NAME_${name}" "${bitstream}")

  set(placement "")
  if(DEFINED arg_SECTION)
    if(NOT arg_SECTION MATCHES "^[A-Za-z0-9_.]+$")
      message(FATAL_ERROR "fpgabits_add_bitstream: SECTION \"${arg_SECTION}\" is not a section name; "
                          "use letters, digits, '_' and '.'")
    endif()
    string(APPEND placement "__attribute__((section(\"${arg_SECTION}\"))) ")
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
    string(APPEND placement "__attribute__((aligned(${arg_ALIGN}))) ")
  endif()

  # The sources are compiled with the languages of the directory that adds
  # them, which a subproject's project() does not change.
  if(NOT CMAKE_C_COMPILER_LOADED)
    message(FATAL_ERROR "fpgabits_add_bitstream: the data is compiled as C, which this directory has not enabled; "
                        "add C to the languages of project(), or call enable_language(C)")
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
    message(FATAL_ERROR "fpgabits_add_bitstream: no fpgabits program for the build machine; "
                        "call find_package(fpgabits) first, or set FPGABITS_EXECUTABLE")
  endif()

  # With several configurations in one tree, each has its own fpgabits.i, so
  # that switching between them converts and compiles nothing again.
  set(dir "${CMAKE_CURRENT_BINARY_DIR}/fpgabits/${target}/${name}")
  set(data_dir "${dir}")
  get_property(multi_config GLOBAL PROPERTY GENERATOR_IS_MULTI_CONFIG)
  if(multi_config)
    set(data_dir "${dir}/$<CONFIG>")
  endif()
  file(MAKE_DIRECTORY "${dir}")
  add_custom_command(
    OUTPUT "${data_dir}/fpgabits.i"
    COMMAND "${CMAKE_COMMAND}" "-Dfpgabits=${program}" "-Dbitstream=${bitstream}" "-Doutput=${data_dir}/fpgabits.i"
            "-Ddevice=${arg_DEVICE}" -P "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/fpgabits_run.cmake"
    DEPENDS "${bitstream}" ${program_dependency} "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/fpgabits_run.cmake"
    COMMENT "Converting ${bitstream}"
    VERBATIM)
  add_custom_target("fpgabits-${target}-${name}" DEPENDS "${data_dir}/fpgabits.i")
  add_dependencies("${target}" "fpgabits-${target}-${name}")

  # The data is compiled on its own, from fpgabits.i as the program wrote it:
  # each declaration gains a const, the name asked for and its placement.
  # The path goes into comments, where it must not close or open one.
  string(REPLACE "/*" "/ *" origin "${bitstream}")
  string(REPLACE "*/" "* /" origin "${origin}")
  file(CONFIGURE OUTPUT "${dir}/include/${name}.h" @ONLY CONTENT [[
/* The FPGA configuration from @origin@.
 * Generated by fpgabits_add_bitstream(): do not edit. */
#ifndef FPGABITS_@name@_H
#define FPGABITS_@name@_H

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
  file(CONFIGURE OUTPUT "${dir}/${name}.c" @ONLY CONTENT [[
/* The FPGA configuration from @origin@.
 * Generated by fpgabits_add_bitstream(): do not edit. */
#include "include/@name@.h"

#define FPGAappl const @name@_design
#define FPGAtype const @name@_device
#define FPGAdate const @name@_date
#define FPGABITS const @placement@@name@_data
#include "fpgabits.i"
#undef FPGAappl
#undef FPGAtype
#undef FPGAdate
#undef FPGABITS

const size_t @name@_size = sizeof @name@_data;
]])
  target_sources("${target}" PRIVATE "${dir}/${name}.c")
  # A unity build would compile the data again with every change to the
  # sources batched with it.
  set_source_files_properties("${dir}/${name}.c" TARGET_DIRECTORY "${target}" PROPERTIES
                              SKIP_UNITY_BUILD_INCLUSION ON INCLUDE_DIRECTORIES "${data_dir}")
  # Libraries pass the header on to what links them.
  target_include_directories("${target}" PUBLIC "$<BUILD_INTERFACE:${dir}/include>")
endfunction()

# At the end of the directory that named a bitstream that did not exist: by
# now a custom command must make it.
function(_fpgabits_check_bitstream source bitstream)
  get_source_file_property(generated "${bitstream}" GENERATED)
  if(NOT EXISTS "${bitstream}" AND NOT generated)
    if(source STREQUAL bitstream)
      message(FATAL_ERROR "fpgabits_add_bitstream: there is no bitstream file ${source}")
    endif()
    message(FATAL_ERROR "fpgabits_add_bitstream: there is no bitstream file ${source}, "
                        "and no custom command in this directory makes ${bitstream}")
  endif()
endfunction()
