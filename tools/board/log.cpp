#include "tools/board/log.h"

#include <stdio.h>

namespace board {

namespace {

void AppendCharacter(std::string& run, uint8_t code) {
  if (code >= 0x20 && code <= 0x7E && code != '"' && code != '\\') {
    run += static_cast<char>(code);
  } else {
    char text[8];
    snprintf(text, sizeof text, "\\x%02X", code);
    run += text;
  }
}

}  // namespace

std::string FormatAnomaly(const Anomaly& anomaly) {
  char head[64];
  snprintf(head, sizeof head, "%s at byte %llu: ",
           anomaly.severity == Severity::Error ? "error" : "warning",
           static_cast<unsigned long long>(anomaly.offset));
  return head + anomaly.message;
}

void LogFlush(LogWriter& log) {
  if (log.run.empty()) return;
  log.out += "Text \"" + log.run + "\"\n";
  log.run.clear();
  log.run_count = 0;
}

void LogCommand(LogWriter& log, const Command& command) {
  if (command.kind == CommandKind::Character) {
    AppendCharacter(log.run, command.operands[0]);
    if (++log.run_count == kLogRunLength) LogFlush(log);
    return;
  }
  LogFlush(log);
  log.out += FormatCommand(command);
  log.out += '\n';
}

void LogAnomaly(LogWriter& log, const Anomaly& anomaly) {
  LogFlush(log);
  log.out += "! " + FormatAnomaly(anomaly) + "\n";
}

void LogBatch(LogWriter& log, const std::vector<Command>& commands,
              const std::vector<Anomaly>& anomalies) {
  size_t next = 0;
  for (const Command& command : commands) {
    while (next < anomalies.size() && anomalies[next].offset < command.offset) {
      LogAnomaly(log, anomalies[next++]);
    }
    LogCommand(log, command);
    while (next < anomalies.size() && anomalies[next].offset == command.offset) {
      LogAnomaly(log, anomalies[next++]);
    }
  }
  while (next < anomalies.size()) LogAnomaly(log, anomalies[next++]);
}

}  // namespace board
