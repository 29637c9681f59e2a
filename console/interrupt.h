// Ctrl+C, and on Windows the console window's close, as a request to stop
// that a long-running front end (the station) answers itself: it lets go of
// what it holds, writes its records and ends.
#pragma once

// From now on, an interrupt sets the flag that interrupt_requested() reads
// instead of ending the process at once (SIGINT, SIGTERM and SIGHUP; on
// Windows Ctrl+C, Ctrl+Break and closing the console).
void catch_interrupts();

// An interrupt has come.
bool interrupt_requested();

// Says that the front end has finished; a console close waits for this (as
// long as Windows lets it) before the process is ended.
void interrupt_answered();
