// How the named line settings map onto a termios record, apart from the
// system calls, so that every field can be checked (a pty keeps only 8N1).
// Implemented in platform_posix.cpp.
#pragma once

#include <termios.h>

#include "platform/platform.h"

// Fills the named fields from `t` and copies `t` into `native`.
// `modem_lines` holds the TIOCM_* bits, or is null when the tty has none;
// abort_on_error is left false (a tty has no such setting).
void LineSettingsFromTermios(const struct termios* t, const int* modem_lines,
                             PortLineSettings* settings);

// Builds the record to apply from `native` with the named fields on top:
// raw mode, CLOCAL and CREAD always, since a Win32 port has no line
// discipline and does not wait for carrier. False, with errno EINVAL, for a
// setting termios cannot express; `t` is then unspecified.
bool TermiosFromLineSettings(const PortLineSettings* settings, struct termios* t);
