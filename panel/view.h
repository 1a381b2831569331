// What the panel serves of a State: the board as JSON (the page and
// GET /api/board) and as Prometheus text (GET /metrics).
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "poller.h"

namespace panel {

// The snapshot of the board: connection, lock, and every fitted module in
// board order with the channels the last poll read (name, address, value in
// its unit, null when the service has none).
nlohmann::json BoardJson(const State& state, bool read_only, int interval_ms);

// The Prometheus text format (0.0.4): corvane_up, poll duration and count,
// Modbus errors by exception code, the lock when known, and every value of
// the board as a gauge labelled module, table, channel and address. Values
// are left out while the service is away, not repeated stale.
std::string MetricsText(const State& state);

// What the service means by an exception code, for a person.
std::string ExceptionMeaning(int code);

}  // namespace panel
