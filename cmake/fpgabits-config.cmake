# The fpgabits package: the program as the imported target fpgabits::fpgabits,
# and fpgabits_add_bitstream() to compile bitstreams into a target.
include("${CMAKE_CURRENT_LIST_DIR}/fpgabits-targets.cmake")
include("${CMAKE_CURRENT_LIST_DIR}/fpgabits_add_bitstream.cmake")
