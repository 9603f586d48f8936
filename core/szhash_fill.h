// Filling a string hash with many pairs at once (the readers that load a
// whole file or section into a caller's map).
#pragma once

#include <memory>

#include "slib/szhash.h"

// The library's own C++ (not part of the C interface): never exported.
#pragma GCC visibility push(hidden)

namespace slib {

// The pairs given to Set are stored in the map *ppHash in their order with
// exactly the effect of SLIBSzHashSetValue: the same slots, bytes, growth
// and rebuilds. The filler finds the slots through an index of its own
// instead of probing the map, whose key function sends keys that differ only
// in their digits to neighbouring slots. The index lives as long as the
// filler; nothing else may use the map meanwhile. Without memory for the
// index, the filler probes as the plain insert.
class SzHashFiller {
public:
    explicit SzHashFiller(PSLIBSZHASH *ppHash);
    // Stores the pairs still waiting.
    ~SzHashFiller();
    SzHashFiller(const SzHashFiller &) = delete;
    SzHashFiller &operator=(const SzHashFiller &) = delete;

    // Copies the pair and stores it a few calls later (a short queue lets
    // the memory it needs be fetched meanwhile). 0, or -1 when a store has
    // failed: the pairs before the failed one are stored, none after it.
    int Set(const char *szKey, const char *szValue);
    // Stores the pairs still waiting: 0, or -1 as Set.
    int Flush();

private:
    struct Impl;
    int Fail();

    PSLIBSZHASH *pp_;
    std::unique_ptr<Impl> impl_;
    bool failed_ = false;
};

} // namespace slib

#pragma GCC visibility pop
