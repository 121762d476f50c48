#include "core/driver_state.h"

#include <new>

DriverState g_state;

void ResetDriverState() {
  // Destroy and rebuild in place: DriverState holds an atomic, so it cannot
  // be assigned, and its member initializers are the load-time values.
  g_state.~DriverState();
  new (&g_state) DriverState();
}
