// The station's web page: one self-contained HTML document (its style and
// script inline, nothing fetched from elsewhere) that follows /api/events
// and draws a tile for each port from /api/status.
#pragma once

const char* station_page();
