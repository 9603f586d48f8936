#include "vakotest/hashorder.h"

#include <stdint.h>

#include <optional>

namespace vakotest {

namespace {

constexpr int kSlots = 31;

unsigned HomeSlot(const std::string &key)
{
    uint32_t sum = 0;
    for (size_t i = 0; i < key.size(); i += 4) {
        uint32_t group = 0;
        for (size_t j = 0; j < 4; ++j)
            group = (group << 8) | (i + j < key.size() ? static_cast<unsigned char>(key[i + j]) : 0u);
        sum += group;
    }
    return sum % kSlots;
}

} // namespace

Pairs HashSlotOrder(const Pairs &sets, int cbArea)
{
    const Pairs notModelled{{"<not modelled>", "the map would grow"}};
    std::vector<std::optional<std::pair<std::string, std::string>>> slots(kSlots);
    int nItem = 0;
    long cbFree = cbArea;
    // The map grows before storing `need` bytes when a quarter of its slots
    // or fewer are free, or when the string area has no more than need left.
    auto grows = [&](long need) { return 4 * (kSlots - nItem) < kSlots || cbFree <= need; };
    for (const auto &[key, value] : sets) {
        unsigned idx = HomeSlot(key);
        while (slots[idx] && slots[idx]->first != key)
            idx = (idx + 1) % kSlots;
        if (slots[idx]) {
            std::string &old = slots[idx]->second;
            if (value.size() > old.size()) {
                if (grows(static_cast<long>(value.size()) + 1))
                    return notModelled;
                cbFree -= static_cast<long>(value.size()) + 1;
            }
            old = value;
            continue;
        }
        long need = static_cast<long>(key.size() + value.size()) + 2;
        if (grows(need))
            return notModelled;
        cbFree -= need;
        slots[idx] = std::make_pair(key, value);
        ++nItem;
    }
    Pairs ordered;
    for (const auto &slot : slots)
        if (slot)
            ordered.push_back(*slot);
    return ordered;
}

std::string BackupSetLines(const Pairs &sets)
{
    std::string text;
    for (const auto &[key, value] : HashSlotOrder(sets))
        text += "\t" + key + "=\"" + value + "\"\n";
    return text;
}

} // namespace vakotest
