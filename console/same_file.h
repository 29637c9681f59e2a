// Whether two paths name one file, however each is spelled: another path to
// it, a link to it, its folder given another way.
#pragma once

#include <string>

// Both exist and are the same file (one volume's one file number).
bool same_file(const std::string& a, const std::string& b);
