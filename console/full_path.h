// A file's path as the whole machine knows it, for records that other
// machines read: "/srv/bench2/stbload-station.csv.numbers", "D:\line3\a.csv".
#pragma once

#include <string>

// `path` from the root, relative parts resolved; `path` itself when that fails.
std::string full_path(const std::string& path);
