#pragma once

#include <string>

#include "driver/rig_status.h"

// GET /summary: the record as one JSON object (see the README for every
// member). A value the record marks unavailable (no temperature, no power,
// no work yet, no switch yet) is null, never a made-up number.
std::string render_summary_json(const RigStatus& status);

// "2024-05-01T12:00:00Z"; "" for the clock's epoch, which the record uses
// for "not set".
std::string utc_time_text(std::chrono::system_clock::time_point at);
