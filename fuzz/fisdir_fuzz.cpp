// The FIS directory of the flash: its records read as the normal road reads
// them, the patch table built from them, and the blocks moved between
// partitions when an image has outgrown its own.
#include "flash.h"
#include "fuzz.h"
#include "updater.h"
#include "vakotest/chips.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    vakofuzz::QuietLog();
    // The directory partition's erase block comes from the kernel stand-in.
    vakotest::Install(vakotest::LayoutFlash(vakotest::Layout::Normal));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    bool junior = data[0] & 1;
    std::string file = vakofuzz::WriteFile("fisdir",
                                           std::string_view(reinterpret_cast<const char *>(data) + 1, size - 1));
    int cbUsed = 0;
    int count = VAKOMTDGetPartitionInfo(file.c_str(), nullptr, 0, &cbUsed);
    if (count <= 0)
        return 0;
    std::vector<VAKOFISENTRY> list(static_cast<size_t>(count));
    int cb = static_cast<int>(list.size() * sizeof(VAKOFISENTRY));
    if (VAKOMTDGetPartitionInfo(file.c_str(), list.data(), cb, &cbUsed) != count)
        abort();
    UPDTSelectLayout(junior);
    if (UPDTInitPatchInfo(list.data(), count) < 0)
        return 0;
    if (HasNegativeBalance(gPatchInfo, gPartitionCount) && ErrUPDTAdjustPartitionSize(gPatchInfo, gPartitionCount) == 0)
        UPDTCheckResizedLayout(gPatchInfo, gPartitionCount, list.data(), count);
    return 0;
}
