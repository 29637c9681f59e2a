#include "session/operator_on_duty.h"

#include <utility>

void OperatorOnDuty::set_operator(std::string name) {
    const MutexLock hold(lock_);
    operator_ = std::move(name);
}

std::string OperatorOnDuty::operator_name() const {
    const MutexLock hold(lock_);
    return operator_;
}

bool clean_operator_name(const std::string& typed, std::string& name) {
    const std::size_t first = typed.find_first_not_of(" \t");
    const std::size_t last = typed.find_last_not_of(" \t");
    if (first == std::string::npos) return false;
    name = typed.substr(first, last - first + 1);
    if (name.size() > 255) return false;
    for (const char c : name) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;
    }
    return true;
}
