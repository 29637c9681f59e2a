// A file put in its place whole: written beside its target under a name of
// its own, forced to the disk, then renamed over the target in one step. A
// reader (or a power cut) sees the old file or the new one, never part of it.
#pragma once

#include <string>

// Writes `bytes` as the file `target`, whole or not at all: first into a new
// file beside it (the same folder, ".NAME.stbload-" and six letters), then
// put in the target's place, replacing the target if there is one. On any
// failure the new file is removed, the target is as it was, and `error`
// holds the system's error code.
bool write_file_whole(const std::string& target, const std::string& bytes, int& error);

// Puts the file `from` in the place of `to` in one step, replacing `to` if it
// exists (both in one folder), and forces that to the disk. False with the
// system's `error` code.
bool replace_file(const std::string& from, const std::string& to, int& error);
