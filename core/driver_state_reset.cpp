// ResetDriverState, for the tests, tools and benchmarks that run many
// sessions in one process. Korvex.dll does not contain it: the library's
// record starts at its load-time values and is never reset.
#include <new>

#include "core/driver_state.h"

void ResetDriverState() {
  // Destroy and rebuild in place: DriverState holds atomics, so it cannot be
  // assigned, and its member initializers are the load-time values.
  g_state.~DriverState();
  new (&g_state) DriverState();
}
