// Helpers of the configuration file tests.
#pragma once


#include <string>
#include <vector>

#include "slib/szhash.h"
#include "slib/szlist.h"
#include "vakotest/testkit.h"

namespace conftest {

// Frees a map or list at the end of a test.
struct Map {
    PSLIBSZHASH h = SLIBSzHashAlloc(0);
    Map() = default;
    Map(std::initializer_list<std::pair<const char *, const char *>> pairs)
    {
        for (auto &p : pairs)
            SLIBSzHashSetValue(&h, p.first, p.second);
    }
    ~Map() { SLIBSzHashFree(h); }
    Map(const Map &) = delete;
    Map &operator=(const Map &) = delete;
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

struct List {
    PSLIBSZLIST l = PslSLIBSzListAlloc(0);
    List() = default;
    List(std::initializer_list<const char *> items)
    {
        for (const char *s : items)
            SLIBSzListPush(&l, s);
    }
    ~List() { SLIBSzListFree(l); }
    List(const List &) = delete;
    List &operator=(const List &) = delete;
};

// A system-log record at `level` whose text begins with `prefix` and ends
// with `suffix` (the source line in between is not pinned).
inline bool SyslogHas(int level, const std::string &prefix, const std::string &suffix)
{
    for (const auto &l : vakotest::SyslogLines())
        if (l.level == level && l.text.size() >= prefix.size() + suffix.size() &&
            l.text.starts_with(prefix) && l.text.ends_with(suffix))
            return true;
    return false;
}

} // namespace conftest
