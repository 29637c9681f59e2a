#include <climits>
#include <unistd.h>

#include "console/host_name.h"

std::string host_name() {
    char name[256] = "";
    if (gethostname(name, sizeof name - 1) != 0) return std::string();
    name[sizeof name - 1] = '\0';
    return name;
}
