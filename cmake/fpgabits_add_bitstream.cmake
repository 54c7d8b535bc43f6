# fpgabits_add_bitstream(<target> <bitstream> [NAME <name>] [SECTION <section>]
#                        [ALIGN <bytes>] [DEVICE <text>] [COMPRESS [WINDOW <bytes>]]
#                        [FINGERPRINT])
#
# Compiles the FPGA configuration in <bitstream> into <target> as read-only
# data, so that firmware keeps it in flash. <target> gets <name>.h on its
# include path, and passes it on to what links it, declaring for C and C++:
#
#   extern const unsigned char <name>_data[];  the configuration data
#   extern const size_t <name>_size;           its length in bytes
#   extern const size_t <name>_config_size;    bytes the FPGA receives
#   extern const char <name>_design[32];       design name
#   extern const char <name>_device[32];       device type
#   extern const char <name>_date[32];         build date and time
#   extern const uint32_t <name>_idcode;       IDCODE the data writes, or 0
#   extern const uint32_t <name>_crc32;        CRC-32 of what the FPGA receives
#   extern const uint32_t <name>_usr_access;   value the data writes to AXSS, or 0
#   extern const uint32_t <name>_usercode;     USERCODE of the design name, or 0xffffffff
#
# The last four are found at build time, so that compressed data has them
# too, by the image reader of fpgabits::loader in a check pass over the
# bitstream file, as firmware checks an image file before loading it; a
# bitstream that fails it (a corrupt one, whose configuration CRC checks
# fail) fails the build. <name>_idcode is the IDCODE that the data writes, or
# 0 where it writes none (the oldest devices, 2s... and v...): firmware
# compares its bits 27:0 with the board's device before loading. Some 16 nm
# devices (types zu...) write a value other than the IDCODE that JTAG reads
# from them: compare with the value that their streams write. <name>_crc32
# is the CRC-32 of the configuration data as gzip computes it.
# <name>_usr_access is the word that the data writes alone to the
# user-access register (AXSS, register 0D) of a stream with CRC-32C, which
# the design can read from the fabric; 0 where it writes none.
# <name>_usercode is the USERCODE that the header's design name records,
# "UserID=0x...", whole even where <name>_design cuts it; 0xffffffff where
# none.
#
# NAME defaults to the bitstream's file name without its extension, made a C
# identifier; each NAME may be used once per target. SECTION and ALIGN place
# the data in a linker section and on an address that is a multiple of ALIGN
# bytes. DEVICE fails the build when the bitstream's device type does not
# contain the text (in any case). A relative <bitstream> is taken from the
# source directory, or else from the binary directory, where a custom command
# of the same directory may make it, before or after this call.
#
# With COMPRESS, <name>_data is the configuration as a raw DEFLATE stream made
# with a window of WINDOW bytes (a power of two from 512 to 32768, by default
# 1024), <name>_size its length, and <name>.h also defines, NAME being the
# name in capitals,
#
#   <NAME>_COMPRESSED                          1
#   <NAME>_WINDOW                              the window in bytes
#   <NAME>_WORK_SIZE                           bytes of the work area
#
# as constant expressions, so that a static work area can be sized with
# <NAME>_WORK_SIZE, which is FPGABITS_INFLATE_WORK_SIZE(<NAME>_WINDOW) and
# needs fpgabits_load.h only where it is used; and it declares
#
#   extern const size_t <name>_window;         <NAME>_WINDOW
#
# for fpgabits_load_deflate() and fpgabits_inflate_check() of fpgabits::loader,
# whose CRC-32 compares with <name>_crc32. COMPRESS needs an fpgabits built
# with zlib.
#
# With FINGERPRINT, the data is that of the bitstream with a fingerprint: the
# CRC-32 of its configuration data as built, written to AXSS, so that the
# running design can tell which configuration it came from, and firmware,
# from <name>_usr_access, which data it holds. fpgabits-deflate inserts one
# write of one word to AXSS (3001A001, the value) right after the stream's
# first IDCODE write (30018001, the IDCODE), where the image reader sees it
# before the reset, and fixes up the value of the CRC check after it, so
# that the device's checks pass as before; the data is 8 bytes longer, and
# <name>_usr_access the fingerprint. Only streams with CRC-32C (device types
# 4v, 5v, 6v, 7a, 7k, 7s, 7v, 7z, ku, vu, au, zu) take one; the build fails
# on others, and on a stream that writes AXSS itself, that writes no IDCODE
# before its frame data, or that is encrypted or authenticated (it writes
# CBC, register 0B, or its design name says ENCRYPT=... or
# AUTHENTICATE...=...). Streams for the other dies of a package (written to
# register 1E) are left as they are.
#
# fpgabits runs in a directory of its own for each target and name, and again
# when the bitstream or the programs change, fpgabits-deflate before it for
# FINGERPRINT, and after it for the values and for COMPRESS. The programs are
# the targets fpgabits::fpgabits and fpgabits::deflate, or FPGABITS_EXECUTABLE
# and FPGABITS_DEFLATE_EXECUTABLE when those are set: every call needs both.
include_guard(GLOBAL)

set(FPGABITS_EXECUTABLE "" CACHE FILEPATH "fpgabits program to run instead of the fpgabits::fpgabits target")
set(FPGABITS_DEFLATE_EXECUTABLE "" CACHE FILEPATH
    "fpgabits-deflate program to run instead of the fpgabits::deflate target")

function(fpgabits_add_bitstream target bitstream)
  string(CONCAT usage "fpgabits_add_bitstream(<target> <bitstream> [NAME <name>] [SECTION <section>] "
         "[ALIGN <bytes>] [DEVICE <text>] [COMPRESS [WINDOW <bytes>]] [FINGERPRINT])")
  cmake_parse_arguments(PARSE_ARGV 2 arg "COMPRESS;FINGERPRINT" "NAME;SECTION;ALIGN;DEVICE;WINDOW" "")
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

  _fpgabits_find_bitstream(fpgabits_add_bitstream bitstream)

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
  _fpgabits_program(fpgabits_add_bitstream fpgabits FPGABITS_EXECUTABLE fpgabits::fpgabits)
  _fpgabits_program(fpgabits_add_bitstream deflate FPGABITS_DEFLATE_EXECUTABLE fpgabits::deflate)
  _fpgabits_window(fpgabits_add_bitstream)

  # With several configurations in one tree, each has its own fpgabits.i, so
  # that switching between them converts and compiles nothing again.
  set(dir "${CMAKE_CURRENT_BINARY_DIR}/fpgabits/${target}/${name}")
  set(data_dir "${dir}")
  get_property(multi_config GLOBAL PROPERTY GENERATOR_IS_MULTI_CONFIG)
  if(multi_config)
    set(data_dir "${dir}/$<CONFIG>")
  endif()
  file(MAKE_DIRECTORY "${dir}")
  # fpgabits-deflate writes the values into a fragment of their own, and with
  # COMPRESS the data into a fragment that replaces fpgabits.i.
  set(more_arguments "")
  if(arg_COMPRESS)
    set(fragments compressed.i values.i)
    list(APPEND more_arguments "-Dwindow=${arg_WINDOW}")
  else()
    set(fragments fpgabits.i values.i)
  endif()
  if(arg_FINGERPRINT)
    list(APPEND more_arguments "-Dfingerprint=ON")
  endif()
  list(TRANSFORM fragments PREPEND "${data_dir}/" OUTPUT_VARIABLE outputs)
  add_custom_command(
    OUTPUT ${outputs}
    COMMAND "${CMAKE_COMMAND}" "-Dfpgabits=${fpgabits}" "-Dbitstream=${bitstream}" "-Doutput=${data_dir}/fpgabits.i"
            "-Ddevice=${arg_DEVICE}" "-Ddeflate=${deflate}" "-Dvalues=${data_dir}/values.i" ${more_arguments}
            -P "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/fpgabits_run.cmake"
    DEPENDS "${bitstream}" ${fpgabits_dependency} ${deflate_dependency}
            "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/fpgabits_run.cmake"
    COMMENT "Converting ${bitstream}"
    VERBATIM)
  add_custom_target("fpgabits-${target}-${name}" DEPENDS ${outputs})
  add_dependencies("${target}" "fpgabits-${target}-${name}")

  # The data is compiled on its own, from the fragment as the programs wrote
  # it: each declaration gains a const, the name asked for and its placement.
  # The path goes into comments, where it must not close or open one.
  string(REPLACE "/*" "/ *" origin "${bitstream}")
  string(REPLACE "*/" "* /" origin "${origin}")
  set(data_comment "configuration data")
  set(fingerprinted "")
  if(arg_FINGERPRINT)
    set(data_comment "configuration data, with its fingerprint")
    set(fingerprinted ",\n * with the CRC-32 of its configuration data written to AXSS (FINGERPRINT)")
  endif()
  set(more_declarations "")
  set(pragmas "")
  set(size "sizeof ${name}_data")
  set(more_definitions "const size_t ${name}_config_size = sizeof ${name}_data;")
  if(arg_COMPRESS)
    # The compressed stream is a string literal, longer than ISO C asks
    # compilers to take; its terminating zero is not part of the stream.
    set(pragmas "#if defined(__GNUC__)\n#pragma GCC diagnostic ignored \"-Woverlength-strings\"\n#endif\n")
    set(size "sizeof ${name}_data - 1")
    string(TOUPPER "${name}" upper)
    string(APPEND data_comment ", compressed")
    set(more_declarations "

#define ${upper}_COMPRESSED 1 /* the data is a raw DEFLATE stream */
#define ${upper}_WINDOW ${arg_WINDOW} /* window of the stream in bytes */
/* Bytes of the work area that the stream needs, for a static array too; it
 * needs fpgabits_load.h only where it is used. */
#define ${upper}_WORK_SIZE FPGABITS_INFLATE_WORK_SIZE(${upper}_WINDOW)
extern const size_t ${name}_window;      /* ${upper}_WINDOW */")
    set(more_definitions "const size_t ${name}_window = ${upper}_WINDOW;")
  endif()
  list(TRANSFORM fragments PREPEND "#include \"" OUTPUT_VARIABLE includes)
  list(TRANSFORM includes APPEND "\"")
  list(JOIN includes "\n" includes)
  file(CONFIGURE OUTPUT "${dir}/include/${name}.h" @ONLY CONTENT [[
/* The FPGA configuration from @origin@@fingerprinted@.
 * Generated by fpgabits_add_bitstream(): do not edit.
 *
 * @name@_idcode is the IDCODE that the data writes, the device it is for,
 * or 0 where it writes none: compare its bits 27:0 with the board's device
 * before loading. Some 16 nm devices (types zu...) write a value other than
 * the IDCODE that JTAG reads from them: compare with what their streams
 * write. @name@_usr_access is the word that the data writes to the
 * user-access register (AXSS), which the design can read, or 0;
 * @name@_usercode the USERCODE that the design name records
 * (UserID=0x...), or 0xffffffff. */
#ifndef FPGABITS_@name@_H
#define FPGABITS_@name@_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

extern const unsigned char @name@_data[]; /* @data_comment@ */
extern const size_t @name@_size;          /* its length in bytes */
extern const size_t @name@_config_size;   /* bytes the FPGA receives */
extern const char @name@_design[32];      /* design name */
extern const char @name@_device[32];      /* device type */
extern const char @name@_date[32];        /* build date and time */
extern const uint32_t @name@_idcode;      /* IDCODE the data writes, or 0 */
extern const uint32_t @name@_crc32;       /* CRC-32 of what the FPGA receives */
extern const uint32_t @name@_usr_access;  /* value the data writes to AXSS, or 0 */
extern const uint32_t @name@_usercode;    /* USERCODE of the design name, or 0xffffffff */@more_declarations@

#ifdef __cplusplus
}
#endif

#endif
]])
  file(CONFIGURE OUTPUT "${dir}/${name}.c" @ONLY CONTENT [[
/* The FPGA configuration from @origin@.
 * Generated by fpgabits_add_bitstream(): do not edit. */
#include "include/@name@.h"
@pragmas@
#define FPGAappl const @name@_design
#define FPGAtype const @name@_device
#define FPGAdate const @name@_date
#define FPGABITS const @placement@@name@_data
#define FPGAsize const @name@_config_size
#define FPGAcrc const @name@_crc32
#define FPGAidcode const @name@_idcode
#define FPGAusr_access const @name@_usr_access
#define FPGAusercode const @name@_usercode
@includes@
#undef FPGAappl
#undef FPGAtype
#undef FPGAdate
#undef FPGABITS
#undef FPGAsize
#undef FPGAcrc
#undef FPGAidcode
#undef FPGAusr_access
#undef FPGAusercode

const size_t @name@_size = @size@;
@more_definitions@
]])
  target_sources("${target}" PRIVATE "${dir}/${name}.c")
  # A unity build would compile the data again with every change to the
  # sources batched with it.
  set_source_files_properties("${dir}/${name}.c" TARGET_DIRECTORY "${target}" PROPERTIES
                              SKIP_UNITY_BUILD_INCLUSION ON INCLUDE_DIRECTORIES "${data_dir}")
  # Libraries pass the header on to what links them.
  target_include_directories("${target}" PUBLIC "$<BUILD_INTERFACE:${dir}/include>")
endfunction()

# Makes the path in <variable> absolute, as add_custom_command() finds a
# dependency: in the source directory if it is there, else in the binary
# directory, where the build may make it. <caller> names the function in
# messages.
function(_fpgabits_find_bitstream caller variable)
  get_filename_component(source "${${variable}}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
  get_filename_component(bitstream "${${variable}}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_BINARY_DIR}")
  if(EXISTS "${source}")
    set(bitstream "${source}")
  elseif(NOT EXISTS "${bitstream}")
    # The rule that makes it may come later in this directory.
    cmake_language(EVAL CODE "cmake_language(DEFER CALL _fpgabits_check_bitstream ${caller} [==[${source}]==] [==[${bitstream}]==])")
  endif()
  set(${variable} "${bitstream}" PARENT_SCOPE)
endfunction()

# At the end of the directory that named a bitstream that did not exist: by
# now a custom command must make it.
function(_fpgabits_check_bitstream caller source bitstream)
  get_source_file_property(generated "${bitstream}" GENERATED)
  if(NOT EXISTS "${bitstream}" AND NOT generated)
    if(source STREQUAL bitstream)
      message(FATAL_ERROR "${caller}: there is no bitstream file ${source}")
    endif()
    message(FATAL_ERROR "${caller}: there is no bitstream file ${source}, "
                        "and no custom command in this directory makes ${bitstream}")
  endif()
endfunction()

# Checks the caller's arg_COMPRESS and arg_WINDOW, and sets arg_WINDOW to
# the window of COMPRESS, 1024 by default.
function(_fpgabits_window caller)
  if(arg_COMPRESS)
    if(NOT DEFINED arg_WINDOW)
      set(arg_WINDOW 1024 PARENT_SCOPE)
    elseif(NOT arg_WINDOW MATCHES "^(512|1024|2048|4096|8192|16384|32768)$")
      message(FATAL_ERROR "${caller}: WINDOW ${arg_WINDOW} is not a power of two from 512 to 32768")
    endif()
    # A program named by the cache variable says so when it runs.
    if(NOT FPGABITS_DEFLATE_EXECUTABLE)
      get_target_property(compresses fpgabits::deflate FPGABITS_COMPRESS)
      if(NOT compresses)
        message(FATAL_ERROR "${caller}: COMPRESS needs an fpgabits-deflate built with zlib, and this "
                            "fpgabits was built without it; build fpgabits again with zlib (Debian package zlib1g-dev)")
      endif()
    endif()
  elseif(DEFINED arg_WINDOW)
    message(FATAL_ERROR "${caller}: WINDOW goes with COMPRESS")
  endif()
endfunction()

# Sets <name> to the program to run and <name>_dependency to what the command
# depends on: the cache variable when set, else the target, which in a cross
# build must be one installed for the build machine. The program is called
# fpgabits or fpgabits-<name>.
function(_fpgabits_program caller name variable target)
  if(${variable})
    if(NOT IS_ABSOLUTE "${${variable}}" OR NOT EXISTS "${${variable}}")
      message(FATAL_ERROR "${caller}: ${variable} is \"${${variable}}\"; give the full path of a program")
    endif()
    set(${name} "${${variable}}" PARENT_SCOPE)
    set(${name}_dependency "${${variable}}" PARENT_SCOPE)
    return()
  endif()
  set(program fpgabits-${name})
  if(name STREQUAL "fpgabits")
    set(program fpgabits)
  endif()
  if(NOT TARGET ${target})
    message(FATAL_ERROR "${caller}: no ${program} program for the build machine; call "
                        "find_package(fpgabits) first, or set ${variable}")
  endif()
  get_target_property(installed ${target} IMPORTED)
  if(CMAKE_CROSSCOMPILING AND NOT installed)
    message(FATAL_ERROR "${caller}: ${program} built in this cross build runs on the target only; "
                        "install fpgabits on the build machine and use find_package(fpgabits), or set ${variable}")
  endif()
  set(${name} "$<TARGET_FILE:${target}>" PARENT_SCOPE)
  set(${name}_dependency ${target} PARENT_SCOPE)
endfunction()
