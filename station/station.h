// stbload --station PORTS HEXFILE [--log FILE] [--continuous [--rearm-quiet SECONDS]]:
// one command flashes a box on every port of a bench, shows each, logs each.
#pragma once

// Runs the station on the arguments after "--station"; returns the exit status.
int run_station(int argc, char** argv);
