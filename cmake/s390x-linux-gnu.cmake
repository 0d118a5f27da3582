# Linux on IBM Z: a big-endian machine, on which the tool's tests show that
# it reads the little-endian format byte by byte.
set(cross_arch s390x)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
