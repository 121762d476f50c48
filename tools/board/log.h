// The decoded command log: one line per command, as the driver's trace words
// them, runs of characters gathered into one `Text "..."` line, and anomalies
// on lines of their own beginning with "! ".
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "tools/board/decoder.h"

namespace board {

struct LogWriter {
  std::string out;      // finished lines, for the caller to write out and clear
  std::string run;      // characters of the text run not yet written
  size_t run_count = 0; // how many characters that is
};

const size_t kLogRunLength = 64;  // characters per Text line at most

void LogCommand(LogWriter& log, const Command& command);
void LogAnomaly(LogWriter& log, const Anomaly& anomaly);
// Ends the current text run, if any.
void LogFlush(LogWriter& log);

// Logs one batch of decoder output: commands and anomalies in stream order,
// each anomaly after the command it was found in.
void LogBatch(LogWriter& log, const std::vector<Command>& commands,
              const std::vector<Anomaly>& anomalies);

std::string FormatAnomaly(const Anomaly& anomaly);

}  // namespace board
