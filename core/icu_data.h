// Where ICU loads its run-time data (converter tables) from.
#pragma once

// The library's own C++ (not part of the C interface): never exported.
#pragma GCC visibility push(hidden)

namespace slib {

// Call before the first ICU call of an operation: takes the directory from
// ICU_DATA, a default directory when that is unset or empty. Settled once per process.
void IcuDataInit();

} // namespace slib

#pragma GCC visibility pop
