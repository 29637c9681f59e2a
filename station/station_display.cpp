#include "station/station_display.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "console/clock.h"
#include "console/console.h"
#include "console/trace.h"
#include "session/setup.h"
#include "station/station_screen.h"

namespace {

// How long the answer to a typed line stays on the hint line.
constexpr double ANSWER_SHOWN_S = 5.0;

}  // namespace

StationDisplay::StationDisplay(const std::string& header, const NumberJournal* numbers, const LineKeeper* line,
                               bool values, Workers& workers, EventsFile& events, bool bell, std::string host)
    : header_(header),
      numbers_(numbers),
      line_(line),
      values_(values),
      workers_(workers),
      events_(events),
      terminal_(!events.to_stdout() && block_.begin()),
      bell_(bell && terminal_),
      host_(std::move(host)),
      setup_(probe_terminal()),
      stats_(monotonic_seconds()) {
    terminal_begin(setup_, false);
    // Keys are read only where the screen is drawn and standard input is the operator's terminal.
    if (terminal_) keys_.begin();
}

StationDisplay::~StationDisplay() {
    keys_.end();
    terminal_end();
}

std::vector<PortView> StationDisplay::views() {
    std::vector<PortView> all;
    for (auto& worker : workers_) all.push_back(worker->monitor().view());
    return all;
}

// The events in the order they happened, whichever port they came from:
// to the shift's figures, the events file and, off a terminal, standard output.
void StationDisplay::pass_events(const std::vector<PortView>& views) {
    std::vector<std::pair<PortEvent, std::size_t>> events;
    for (std::size_t i = 0; i < workers_.size(); ++i) {
        for (PortEvent& event : workers_[i]->monitor().take_events()) events.emplace_back(std::move(event), i);
    }
    std::stable_sort(events.begin(), events.end(),
                     [](const auto& a, const auto& b) { return a.first.time < b.first.time; });
    for (const auto& [event, i] : events) {
        if (event.box_end) {
            const BoxRecord* row = event.row.get();
            stats_.box_ended(event.outcome, event.seconds, event.when, row != nullptr ? row->erase_s : -1,
                             row != nullptr ? row->transfer_s : -1, row != nullptr ? row->flash_write_s : -1);
            if (outcome_failed(event.outcome)) ++rings_;
        }
        if (events_.is_open()) events_.write(event, workers_[i]->given(), host_);
        if (web_ != nullptr) web_->feed().publish(event_json(event, workers_[i]->given(), host_));
        if (!terminal_ && !events_.to_stdout()) {
            console_print("%s %s %s\r\n", event.time.c_str(), views[i].label.c_str(), event.text.c_str());
        }
    }
}

std::string StationDisplay::hint() const {
    if (!keys_.active()) return std::string();
    if (!keys_.typed().empty()) return "reset a port: " + keys_.typed() + "_";
    if (!answer_.empty() && monotonic_seconds() < answer_until_) return answer_;
    return "to reset one port, type its name (COM7 or 7) and Enter";
}

void StationDisplay::draw(const std::vector<PortView>& views, const std::string& log_trouble, bool final) {
    const StationTotals totals = station_totals(views);
    ScreenFrame frame;
    frame.header.push_back(header_);
    if (!serving_.empty()) frame.header.push_back(serving_);
    if (on_duty_ != nullptr) {
        const std::string who = on_duty_->operator_name();
        const std::string& order = on_duty_->work_order();
        if (!who.empty() || !order.empty()) {
            frame.header.push_back("operator: " + (who.empty() ? std::string("none") : who) +
                                   (order.empty() ? std::string() : ", work order " + order));
        }
    }
    if (numbers_ != nullptr) frame.header.push_back("numbers: " + numbers_->left_text());
    if (line_ != nullptr) frame.header.push_back(line_->status_line());
    frame.numbers = values_;
    frame.log_trouble = log_trouble;
    frame.waits = LongWaits{stats_.long_erase_s(), stats_.long_flash_write_s()};
    frame.hint = final ? std::string() : hint();
    drawn_typed_ = keys_.typed();
    drawn_answer_ = answer_;
    block_.measure();
    const double now = monotonic_seconds();
    frame.totals = stats_.totals_line(static_cast<int>(totals.in_progress), now,
                                      static_cast<std::size_t>(block_.columns() - 1));
    std::vector<ScreenLine> lines = station_screen(frame, views, now, block_.columns(), block_.lines_that_fit());
    // At the end the totals line comes once, below the block, in its colour.
    if (final) {
        lines.erase(std::remove_if(lines.begin(), lines.end(),
                                   [&](const ScreenLine& line) { return line.text == frame.totals; }),
                    lines.end());
        while (!lines.empty() && lines.back().text.empty()) lines.pop_back();
    }
    block_.draw(lines);
    for (; bell_ && rings_ > 0; --rings_) block_.bell();  // one for each box that failed
    rings_ = 0;
}

void StationDisplay::serve_to(StationWeb& web, StationFacts facts) {
    web_ = &web;
    facts_ = std::move(facts);
    for (const auto& worker : workers_) given_.push_back(worker->given());
    serving_ = "serving " + web.url();
}

void StationDisplay::web_status(const std::vector<PortView>& views) {
    if (web_ == nullptr) return;
    web_->feed().set_status(status_json(facts_, views, given_, stats_, monotonic_seconds(), line_));
    web_->wake();
}

void StationDisplay::publish() {
    if (web_ == nullptr) return;
    const std::vector<PortView> all = views();
    pass_events(all);
    web_status(all);
}

std::vector<PortView> StationDisplay::show(const std::string& log_trouble, bool final) {
    std::vector<PortView> all = views();
    pass_events(all);
    web_status(all);
    if (terminal_) {
        draw(all, log_trouble, final);
    } else {
        if (log_trouble != shown_trouble_ && !log_trouble.empty()) console_print("%s\r\n", log_trouble.c_str());
        shown_trouble_ = log_trouble;
        database_line();
    }
    window(all);
    return all;
}

void StationDisplay::take_keys() {
    std::string typed;
    if (!keys_.poll(typed) || typed.empty()) return;
    answer_until_ = monotonic_seconds() + ANSWER_SHOWN_S;
    if (on_duty_ != nullptr && typed.rfind("operator ", 0) == 0) {
        std::string name;
        if (clean_operator_name(typed.substr(9), name)) {
            on_duty_->set_operator(name);
            trace("operator: %s, from the next box on", name.c_str());
            answer_ = "operator: " + name + ", for the boxes that start from now on";
        } else {
            answer_ = "operator NAME: a name of 1 to 255 characters";
        }
        return;
    }
    for (auto& worker : workers_) {
        if (!worker->named_by(typed)) continue;
        answer_ = worker->reset() ? worker->label() + " reset: its box failed, and the port takes the next one"
                                  : worker->label() + ": no box in progress, nothing to reset";
        return;
    }
    answer_ = "no port " + typed + " in this station";
}

void StationDisplay::print_totals() {
    const StationTotals totals = station_totals(views());
    const std::string line = stats_.totals_line(-1, monotonic_seconds(), 79);
    const bool all_completed = totals.failed == 0 && totals.interrupted == 0;
    if (terminal_) {
        block_.print_line(ScreenLine(line, all_completed ? Colour::Green : Colour::Red));
    } else {
        console_print("%s\r\n", line.c_str());
    }
}

// Off a terminal: the database's state when it changes (not each count).
void StationDisplay::database_line() {
    if (line_ == nullptr || events_.to_stdout()) return;
    const LineStatus status = line_->status();
    const std::string state = status.reason + (status.waiting == 0 ? " none waiting" : " some waiting");
    if (state == shown_database_) return;
    const bool first = shown_database_.empty();
    shown_database_ = state;
    if (first && status.fault == DbFault::None && status.waiting == 0) return;  // said at the start
    char time[40];
    format_utc(std::chrono::system_clock::now(), time, sizeof time);
    console_print("%s %s\r\n", time, line_->status_line().c_str());
}

// The title gives the totals; the taskbar the least advanced box sending.
void StationDisplay::window(const std::vector<PortView>& views) {
    const StationTotals totals = station_totals(views);
    terminal_title(("stbload station: " + totals_text(totals) + ", " + std::to_string(totals.in_progress) +
                    " in progress")
                       .c_str());
    unsigned least = 101;
    for (const PortView& view : views) {
        if (view.box_in_progress && view.phase == PortPhase::Sending && view.percent < least) least = view.percent;
    }
    const TaskbarState state = least <= 100           ? TaskbarState::Normal
                               : totals.in_progress > 0 ? TaskbarState::Indeterminate
                                                        : TaskbarState::Clear;
    const unsigned percent = least <= 100 ? least : 0;
    if (state == shown_state_ && percent == shown_percent_) return;
    shown_state_ = state;
    shown_percent_ = percent;
    terminal_taskbar(state, percent);
}
