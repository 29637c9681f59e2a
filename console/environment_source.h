// The platform's part of the environment's copy: its entries as "NAME=value".
#pragma once

#include <string>
#include <vector>

std::vector<std::string> environment_entries();
