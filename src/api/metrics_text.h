#pragma once

#include <string>
#include <string_view>

#include "driver/rig_status.h"

// GET /metrics: the record in the Prometheus text exposition format
// (version 0.0.4), every name prefixed tamrix_, in base units, counters
// ending in _total. A gauge whose value the record marks unavailable is left
// out rather than written as a made-up number; the README lists every
// family.
std::string render_metrics_text(const RigStatus& status);

// A label value as the format wants it between double quotes: well-formed
// UTF-8, with backslash, double quote and line feed escaped.
std::string escape_label_value(std::string_view value);

// A sample value: integers exactly, other numbers in the shortest form that
// reads back the same, NaN and +Inf/-Inf as the format spells them.
std::string sample_value_text(double value);
