// This machine's name, as the network knows it.
#pragma once

#include <string>

std::string host_name();
