// The content suite: screens that change a little each second (tools/host's
// screens), sent as a host sends them, GfxChangesOnly off and on.
#pragma once

#include <stdio.h>

#include <functional>
#include <string>

// Registers content/<case>/off and content/<case>/on: CPU time per frame.
void RegisterContentBenchmarks();
// The table: bytes per frame off and on, the changed bytes, the line time
// at 19200 and 115200 baud, and the time per frame (`ns` gives a
// benchmark's fastest repetition in ns, below 0 when it did not run).
void PrintContentTable(FILE* out, const std::function<double(const std::string&)>& ns);
