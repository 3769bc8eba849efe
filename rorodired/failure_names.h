// The bus names of the core's failures (org.ofono.mms.Error.*): the one
// place a Failure becomes a D-Bus error name, and back (status files of
// older versions keep the names; the store reads them into Failures).
#ifndef RORODIRED_FAILURE_NAMES_H
#define RORODIRED_FAILURE_NAMES_H

#include <string_view>

#include "core.h"

namespace rrd {

// "org.ofono.mms.Error.TransientFailure", ...; "" for Failure::None.
const char *error_name(Failure f);
// The failure a bus error name stands for (false for a name of no failure).
bool failure_of_error_name(std::string_view name, Failure *out);

}  // namespace rrd

#endif
