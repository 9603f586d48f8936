// Where ICU loads its run-time data (converter tables) from.
#pragma once

namespace slib {

// Call before the first ICU call of an operation: takes the directory from
// ICU_DATA, a default directory when that is unset or empty. Settled once per process.
void IcuDataInit();

} // namespace slib
