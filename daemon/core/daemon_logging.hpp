// The daemon's logging: one default logger feeding coloured stdout and syslog.
#pragma once

#include <cstdint>
#include <string>

namespace kelm {

inline constexpr const char* log_pattern = "[%Y-%m-%d %T.%e] %^[%L]%$ [%t] %v";

// Default logger "logger" on a distributing sink: coloured stdout, then syslog
// (ident "kelm", facility LOG_LOCAL0).
void setup_logging();

// Re-opens the system log under "kelm/<id>".
void set_syslog_ident(uint32_t node_id);

}  // namespace kelm
