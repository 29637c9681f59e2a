#include "device_script.h"

namespace {

constexpr std::uint8_t ESCAPE = 0xFF;
constexpr std::uint32_t WRITES_PER_UNIT = 256;

}  // namespace

void decode_script(const std::uint8_t* data, std::size_t size, std::vector<ScriptEvent>& events) {
    events.clear();
    std::size_t i = 0;
    while (i < size) {
        const std::uint8_t b = data[i++];
        if (b != ESCAPE || i == size) {
            events.push_back({ScriptStep::Byte, b, 0});
            continue;
        }
        switch (data[i]) {
        case 0x00:
            events.push_back({ScriptStep::Empty, 0, 0});
            ++i;
            break;
        case 0x01:
            events.push_back({ScriptStep::Failed, 0, 0});
            ++i;
            break;
        case 0x02:
            events.push_back({ScriptStep::FailNextWrite, 0, 0});
            ++i;
            break;
        case 0x03: {
            ++i;
            const std::uint32_t units = i < size ? data[i++] : 0;
            events.push_back({ScriptStep::LoseWrites, 0, units * WRITES_PER_UNIT});
            break;
        }
        default:
            events.push_back({ScriptStep::Byte, ESCAPE, 0});
            break;
        }
    }
}

ScriptCursor::ScriptCursor(const std::vector<ScriptEvent>& events) : events_(events) {
    apply_controls();
}

void ScriptCursor::apply_controls() {
    while (next_ < events_.size()) {
        const ScriptEvent& e = events_[next_];
        if (e.step == ScriptStep::FailNextWrite) {
            fail_next_write_ = true;
        } else if (e.step == ScriptStep::LoseWrites) {
            write_limit_ = true;
            writes_left_ = e.writes_left;
        } else {
            return;
        }
        ++next_;
    }
}

PortRead ScriptCursor::read(std::uint8_t& byte) {
    ++reads_;
    if (next_ == events_.size()) return PortRead::Lost;
    const ScriptEvent e = events_[next_++];
    apply_controls();
    switch (e.step) {
    case ScriptStep::Byte:
        byte = e.byte;
        return PortRead::Byte;
    case ScriptStep::Empty:
        return PortRead::Empty;
    default:
        return PortRead::Failed;
    }
}

PortWrite ScriptCursor::write() {
    if (writes_lost_) return PortWrite::Lost;
    if (write_limit_) {
        if (writes_left_ == 0) {
            writes_lost_ = true;
            return PortWrite::Lost;
        }
        --writes_left_;
    }
    if (fail_next_write_) {
        fail_next_write_ = false;
        return PortWrite::Failed;
    }
    return PortWrite::Written;
}
