# The appliance's own processor, 32-bit big-endian PowerPC: Debian's cross
# compiler with its own C and C++ libraries (/usr/powerpc-linux-gnu), the
# programs run under qemu-ppc.  No ICU or Berkeley DB for it here: the ppc
# preset builds the byte-format code alone (platforms/ppc).
set(CMAKE_SYSTEM_PROCESSOR ppc)
set(VAKO_CROSS_TRIPLET powerpc-linux-gnu)
set(VAKO_CROSS_MULTIARCH powerpc-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR
    "${CMAKE_CURRENT_LIST_DIR}/../../appliance/qemu-run;ppc;-L;/usr/powerpc-linux-gnu")
# How its programs run here, as scripts/test.sh reports it.
set(VAKO_RUNS "under qemu-ppc" CACHE INTERNAL "")
