#include "core/driver_state.h"

DriverState g_state;
// The link's part of it (bound at load: an address, no code runs).
LinkState& g_link = g_state;
