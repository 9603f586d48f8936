# The 32-bit build: Debian's i686 cross compiler and the :i386 packages of
# the libraries (multiarch).  Its programs run on this machine as they are
# where its kernel runs 32-bit x86 programs; where it does not (a kernel
# without ia32 emulation), or with VAKO_I386_EMULATE=1 in the environment
# of the configure step, they run under qemu-i386, handed to it by the
# appliance's own binfmt_misc (vako-sandbox --emulate i386): the test
# binaries and every program they start.  Decided at each configure;
# VAKO_RUNS tells which way.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(VAKO_CROSS_TRIPLET i686-linux-gnu)
set(VAKO_CROSS_MULTIARCH i386-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/i386-linux-gnu/pkgconfig:/usr/share/pkgconfig")

get_property(vako_in_try_compile GLOBAL PROPERTY IN_TRY_COMPILE)
if(NOT vako_in_try_compile AND NOT vako_i386_decided)
  set(vako_i386_decided TRUE)
  if("$ENV{VAKO_I386_EMULATE}" STREQUAL "1")
    set(vako_i386_why "VAKO_I386_EMULATE=1")
  else()
    # An empty program of the cross compiler, run.
    set(probe "${CMAKE_BINARY_DIR}/CMakeFiles/i386-probe")
    file(WRITE "${probe}.c" "int main(void) { return 0; }\n")
    execute_process(COMMAND ${CMAKE_C_COMPILER} -o "${probe}" "${probe}.c" RESULT_VARIABLE built OUTPUT_QUIET ERROR_QUIET)
    if(built EQUAL 0)
      execute_process(COMMAND "${probe}" RESULT_VARIABLE ran OUTPUT_QUIET ERROR_QUIET)
      if(NOT ran EQUAL 0)
        set(vako_i386_why "this machine runs no 32-bit x86 programs (${ran})")
      endif()
    endif()
  endif()
  if(vako_i386_why)
    set(VAKO_SANDBOX_OPTIONS --emulate i386)
    # What qemu-user, or the user namespace it needs, cannot carry: left to
    # the builds whose programs run as they are, and disabled here (ctest
    # lists them as not run).
    set(VAKO_NOT_EMULATED
      "NetEthInfo.VethReportsFullDuplexAndAnUnlistedSpeed: qemu-user does not pass the ethtool request on"
      "NetEthInfo.SpeedsAndDuplexFromTheDriver: qemu-user does not pass the ethtool request on"
      "NetEthInfo.DriverWithoutLinkSettingsKeepsCallersValues: qemu-user does not pass the ethtool request on"
      "NetSetMTUValue.SlowLinkRecordsOnlyTheKey: qemu-user does not pass the ethtool request on"
      "NetSetMTUValue.GigabitLinkSetsTheInterfaceWaitsAndRecords: qemu-user does not pass the ethtool request on"
      "NetSetMTUValue.RefusedOnTheInterfaceStillWaitsAndRecords: qemu-user does not pass the ethtool request on"
      "NetSetMTUValue.DriverWithoutLinkSettingsOnlyRecords: qemu-user does not pass the ethtool request on"
      "Sdk/Border.EachAllocationFailsAsTheContractSays/VAKONetSetMTUValue  # GetParam() = VAKONetSetMTUValue: qemu-user does not pass the ethtool request on"
      "Road.GroupUpdateWritesTheImagesOfThePackageOnly: qemu-user has no fanotify, which the progress recorder needs"
      "Road.UpdateBacksUpEveryPartitionFirst: qemu-user has no fanotify, which the progress recorder needs"
      "Road.VerifyFailingOnAttemptZeroPassesOnAttemptOne: qemu-user has no fanotify, which the progress recorder needs"
      "Road.PartitionThatCannotBeUnlockedFailsThePatch: qemu-user has no fanotify, which the progress recorder needs"
      "Road.FailedPatchIsRolledBackByteForByte: qemu-user has no fanotify, which the progress recorder needs"
      "Road.UnreadableDirectoryOrIncompleteDirectoryWritesNothing: qemu-user has no fanotify, which the progress recorder needs"
      "KstubPassThrough.OrdinaryFilesAndDevNullAreUntouched: qemu-user answers an ioctl it does not know with ENOSYS, the kernel with ENOTTY"
      "KstubMtd.EraseAndWriteOfAWindowLargerThanTheProcessMayAllocate: qemu-user cannot start within the address-space limit the test sets"
      "ConfWrite.AttributesKept: root of the appliance's user namespace lacks this machine's CAP_FSETID, so a write after the chmod drops the set-user-id bit")
    set(VAKO_RUNS "under qemu-i386: ${vako_i386_why}" CACHE INTERNAL "")
  else()
    set(VAKO_RUNS "natively" CACHE INTERNAL "")
  endif()
  message(STATUS "i386 programs run ${VAKO_RUNS}")
endif()
