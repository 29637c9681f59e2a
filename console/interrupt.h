// Ctrl+C, and on Windows the console window's close, as a request to stop
// that a long-running front end (the station) answers itself: it lets go of
// what it holds, writes its records and ends.
#pragma once

// The exit status of a process ended by a second interrupt, as a shell
// reports one ended by SIGINT.
constexpr int INTERRUPTED_EXIT_STATUS = 130;

// From now on, the first interrupt sets the flag that interrupt_requested()
// reads instead of ending the process (SIGINT, SIGTERM and SIGHUP; on
// Windows Ctrl+C, Ctrl+Break and closing the console). A second one puts
// the terminal's title back and ends the process at once with
// INTERRUPTED_EXIT_STATUS. A signal that was ignored when the process
// started (nohup) stays ignored.
void catch_interrupts();

// An interrupt has come.
bool interrupt_requested();

// Says that the front end has finished; a console close waits for this (as
// long as Windows lets it) before the process is ended.
void interrupt_answered();

// Keeps interrupts off the calling thread, so that they reach the main
// thread, which draws the screen and the title: a second interrupt then
// puts the title back after the last one drawn, never before it. Every
// thread the front ends start calls it first. (Windows answers interrupts
// on a thread of its own; there it does nothing.)
void keep_interrupts_off_this_thread();
