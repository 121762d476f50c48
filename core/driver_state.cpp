#include "core/driver_state.h"

DriverState g_state;
