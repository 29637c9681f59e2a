#include "console/key_lines.h"

#include "console/terminal.h"

bool KeyLines::begin() {
    active_ = terminal_keys_begin();
    return active_;
}

bool KeyLines::poll(std::string& line) {
    if (!active_) return false;
    char keys[64];
    const int got = terminal_keys_read(keys, sizeof keys);
    if (got < 0) {
        end();  // standard input has ended: nothing more to read
        return false;
    }
    pending_.append(keys, static_cast<std::size_t>(got));
    std::size_t used = 0;
    bool ended = false;
    while (used < pending_.size() && !ended) {
        const char c = pending_[used++];
        if (c == '\r') {
            const std::size_t first = typed_.find_first_not_of(' ');
            line = first == std::string::npos ? std::string()
                                              : typed_.substr(first, typed_.find_last_not_of(' ') - first + 1);
            typed_.clear();
            ended = true;  // what was typed after the Enter waits for the next call
        } else if (c == '\b') {
            if (!typed_.empty()) typed_.pop_back();
        } else if (c == 0x1B || c == 0x15) {
            typed_.clear();
        } else if (c >= ' ' && c < 0x7F && typed_.size() < LINE_MAX) {
            typed_ += c;
        }
    }
    pending_.erase(0, used);
    return ended;
}

void KeyLines::end() {
    if (active_) terminal_keys_end();
    active_ = false;
}
