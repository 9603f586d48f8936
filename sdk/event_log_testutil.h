// Event-log files for the event log's own tests and its neighbours': the
// kit's reader and writer of them.
#pragma once

#include "vakotest/eventlog.h"

namespace evtest = vakotest::evlog;
