// String lists from text: tokens and pairs pushed, sorted in both orders,
// searched, merged, and a list block that came from outside checked.
#include "fuzz.h"
#include "slib/str.h"
#include "slib/szlist.h"

VAKOFUZZ_QUIET_LOG

namespace {

void Walk(PSLIBSZLIST l)
{
    for (int i = 0; i < l->nItem; ++i)
        if (!SLIBSzListGet(l, i))
            abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider in(data, size);
    std::string delims = in.ConsumeRandomLengthString(4);
    std::string key = in.ConsumeRandomLengthString(16);
    int type = in.PickValueInArray({SLIB_SZLIST_UNSORTED, SLIB_SZLIST_SORT, SLIB_SZLIST_SORT_CASE});
    std::string block = in.ConsumeRandomLengthString(1024);
    std::string text = in.ConsumeRemainingBytesAsString();

    PSLIBSZLIST a = PslSLIBSzListAlloc(0), b = PslSLIBSzListAlloc(0);
    SLIBStrTok(text.c_str(), delims.c_str(), &a);
    SLIBStrSep(text.c_str(), delims.c_str(), &b);
    SLIBStrSepPair(text.c_str(), &b);
    Walk(a);
    Walk(b);
    SLIBSzListSort(a, type);
    SLIBSzListSort(b, type);
    SLIBSzListFind(a, key.c_str());
    SLIBSzListCaseFind(a, key.c_str());
    SLIBSzListInsert(&a, 3, key.c_str());
    if (a->nItem > 0)
        SLIBSzListSet(&a, a->nItem / 2, key.c_str());
    if (PSLIBSZLIST u = PslSLIBSzListOr(&a, b, SLIB_SZLIST_OR_NEW)) {
        Walk(u);
        SLIBSzListFree(u);
    }
    PslSLIBSzListOr(&a, b, 0);
    Walk(a);
    SzSLIBSzListRemoveHead(a);
    SLIBSzListCompact(a);
    Walk(a);
    SLIBSzListFree(a);
    SLIBSzListFree(b);

    // A block from outside: used only when it checks out.
    if (SLIBSzListCheck(block.data(), static_cast<int>(block.size()))) {
        auto *l = static_cast<PSLIBSZLIST>(malloc(block.size()));
        memcpy(l, block.data(), block.size());
        Walk(l);
        SLIBSzListPush(&l, key.c_str());
        Walk(l);
        SLIBSzListFree(l);
    }
    return 0;
}
