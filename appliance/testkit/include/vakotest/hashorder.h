// The order in which the configuration writers list the pairs of a string
// hash (the slot order of the map), computed from the map's rules: the home
// slot of a key is the sum of its big-endian 4-byte groups (a last short
// group filling the high bytes) modulo the slot count, and a taken slot
// passes the key on to the next free one.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace vakotest {

using Pairs = std::vector<std::pair<std::string, std::string>>;

// The pairs of a new map of 31 slots and cbArea string bytes into which
// `sets` were set in order (a later pair of a key replaces its value), in
// slot order.  Only a map that never grows is modelled: when one of the
// sets would make it grow, the result is the single pair
// {"<not modelled>", "the map would grow"}, which fails any comparison.
Pairs HashSlotOrder(const Pairs &sets, int cbArea = 1024);

// The key lines "\t<key>=\"<value>\"\n" of a backup set's section as its
// writer puts them: the section's pairs set in order into a new map.
std::string BackupSetLines(const Pairs &sets);

} // namespace vakotest
