// List-db values of the keyed database: a stored value unpacked into a
// list only when its sizes and offsets hold, then used like any list.
#include "fuzz.h"
#include "slib/szlist.h"
#include "vako/keydb.h"

VAKOFUZZ_QUIET_LOG

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The value as the database hands it over: a block of its own size.
    std::vector<uint8_t> value(data, data + size);
    PSLIBSZLIST l = VAKOListDBUnpack(value.data(), static_cast<int>(value.size()));
    if (!l)
        return 0;
    for (int i = 0; i < l->nItem; ++i)
        if (!SLIBSzListGet(l, i))
            abort();
    void *again = VAKOListDBPack(l, l->cbSize);
    if (!again || static_cast<size_t>(l->cbSize) != size || memcmp(again, data, size) != 0)
        abort();
    free(again);
    SLIBSzListSort(l, SLIB_SZLIST_SORT);
    SLIBSzListPush(&l, "x");
    SLIBSzListFree(l);
    return 0;
}
