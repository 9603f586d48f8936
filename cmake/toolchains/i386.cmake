# The 32-bit build: Debian's i686 cross compiler and the :i386 packages of
# the libraries (multiarch).  Its programs run on this machine as they are.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(VAKO_CROSS_TRIPLET i686-linux-gnu)
set(VAKO_CROSS_MULTIARCH i386-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/i386-linux-gnu/pkgconfig:/usr/share/pkgconfig")
