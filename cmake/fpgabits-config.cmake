# The fpgabits package: the programs as the imported targets
# fpgabits::fpgabits and fpgabits::deflate (which compresses where zlib was
# there to build it), the loader library for firmware as fpgabits::loader
# (sources, compiled by the consumer's compiler), the model of an FPGA that
# ports and firmware are tested against on the build machine as
# fpgabits::model (sources too), fpgabits_add_bitstream() to compile
# bitstreams into a target, and fpgabits_add_image() to write image files for
# the loader to read.
include("${CMAKE_CURRENT_LIST_DIR}/fpgabits-targets.cmake")
include("${CMAKE_CURRENT_LIST_DIR}/fpgabits_add_bitstream.cmake")
include("${CMAKE_CURRENT_LIST_DIR}/fpgabits_add_image.cmake")
