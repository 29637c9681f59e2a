// The line view's web page: one self-contained HTML document (its style
// and script inline) that reads /api/line every 5 s and draws a card for
// each station, the pool's values and the weak ports.
#pragma once

const char* line_page();
