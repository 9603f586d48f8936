# The big-endian build: Debian's s390x cross compiler, the :s390x run-time
# packages of the libraries (multiarch) and the processor-independent
# headers of this machine's development packages.  Its programs run under
# qemu-user.
#
# libicu-dev:s390x cannot be installed beside this machine's own C library
# headers once the security archive carries no s390x packages (its
# linux-libc-dev:s390x then lags the amd64 one), and libdb5.3-dev is not
# multiarch: ICU is found through pkgconfig-s390x/, Berkeley DB by its
# run-time library's name.
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(VAKO_CROSS_TRIPLET s390x-linux-gnu)
set(VAKO_CROSS_MULTIARCH s390x-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
set(ENV{PKG_CONFIG_LIBDIR} "${CMAKE_CURRENT_LIST_DIR}/pkgconfig-s390x")
set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/../../appliance/qemu-run;s390x")
# How its programs run here, as scripts/test.sh reports it.
set(VAKO_RUNS "under qemu-s390x" CACHE INTERNAL "")
