// The command line's two conventional flags and the help text.
#pragma once

// True for the one argument that asks for the version: "--version" or "-V".
bool is_version_flag(const char* arg);

// True for the one argument that asks for help: "--help", "-h" or "/?".
bool is_help_flag(const char* arg);

// Prints the version line: "stbload 1.1.0".
void print_version();

// Prints the usage line.
void print_usage();

// Prints the help after the banner: the usage line, what PORT means on this
// platform, the exit statuses and the environment variables the tool reads.
void print_help();
