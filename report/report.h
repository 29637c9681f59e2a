// stbload --report LOG... [--html FILE]: the figures of one or more station
// logs (several benches' together, old and new headers alike), as text
// tables on standard output and, with --html, a page with charts.
#pragma once

// Runs the report on the arguments after "--report"; returns the exit
// status: 0 when at least one row was read.
int run_report(int argc, char** argv);
