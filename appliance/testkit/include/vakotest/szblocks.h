// Owners of the core library's hash and list blocks for the tests: built
// from a few items in one line, freed at the end of the test.
#pragma once

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "slib/szhash.h"
#include "slib/szlist.h"

namespace vakotest {

struct SzHash {
    PSLIBSZHASH h = SLIBSzHashAlloc(0);
    SzHash() = default;
    SzHash(std::initializer_list<std::pair<const char *, const char *>> pairs)
    {
        for (auto &p : pairs)
            SLIBSzHashSetValue(&h, p.first, p.second);
    }
    ~SzHash() { SLIBSzHashFree(h); }
    SzHash(const SzHash &) = delete;
    SzHash &operator=(const SzHash &) = delete;
    const char *operator[](const char *k) const { return SzSLIBSzHashGetValue(h, k); }
    // key=value of each pair in slot order.
    std::vector<std::string> pairs() const
    {
        std::vector<std::string> out;
        for (int i = 0; i < h->nSlot; i++)
            if (const char *k = SLIBSzHashSlotKey(h, i))
                out.push_back(std::string(k) + "=" + SLIBSzHashSlotValue(h, i));
        return out;
    }
};

struct SzList {
    PSLIBSZLIST l = PslSLIBSzListAlloc(0);
    SzList() = default;
    SzList(std::initializer_list<const char *> items)
    {
        for (const char *s : items)
            SLIBSzListPush(&l, s);
    }
    ~SzList() { SLIBSzListFree(l); }
    SzList(const SzList &) = delete;
    SzList &operator=(const SzList &) = delete;
};

} // namespace vakotest
