// stbload --job JOB --line-view --serve [ADDR:]PORT [--serve-name NAME]...:
// one page and one JSON document (/api/line) for the whole line, read from
// the line's database every 5 s (the job's [line]), not from any station.
// It changes nothing anywhere, so its database user needs SELECT alone.
#pragma once

// Runs the view on the arguments but "--line-view"; returns the exit status.
int run_line_view(int argc, char** argv);
