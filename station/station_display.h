// What the station shows: rows redrawn on a terminal (or, off one, the
// ports' events line by line), the events file, the bell for each failed box,
// the shift's figures, and the operator's keys that reset one port.
#pragma once

#include "session/operator_on_duty.h"

#include <memory>
#include <string>
#include <vector>

#include "console/key_lines.h"
#include "console/screen_block.h"
#include "console/terminal.h"
#include "line/keeper.h"
#include "job/number_journal.h"
#include "station/port_worker.h"
#include "station/station_events.h"
#include "station/station_stats.h"
#include "station/station_status.h"
#include "station/station_web.h"

class StationDisplay {
public:
    // `numbers` and `line` (either may be null) are the job's; `values`: the
    // boxes have numbers or an id of their own to show.
    StationDisplay(const std::string& header, const NumberJournal* numbers, const LineKeeper* line, bool values,
                   Workers& workers, EventsFile& events, bool bell, std::string host);
    ~StationDisplay();
    StationDisplay(const StationDisplay&) = delete;
    StationDisplay& operator=(const StationDisplay&) = delete;

    bool terminal() const { return terminal_; }
    // Who is at the bench: shown in the header, changed by typing "operator NAME".
    void show_on_duty(OperatorOnDuty& on_duty) { on_duty_ = &on_duty; }

    // Serves the station's state through `web` too: its events as they are
    // passed on, its status at each look; the header names the address.
    void serve_to(StationWeb& web, StationFacts facts);
    // Passes the ports' events on and gives the web its status (between draws).
    void publish();

    // Passes on the ports' events and draws the screen; `final` leaves the
    // totals line to print_totals(). Returns what each port shows.
    std::vector<PortView> show(const std::string& log_trouble, bool final = false);
    // The operator's keys since the last look: a port's name and Enter
    // resets that port (its box fails: "reset by the operator").
    void take_keys();
    // Something was typed since the screen was last drawn.
    bool keys_changed() const { return keys_.typed() != drawn_typed_ || answer_ != drawn_answer_; }
    // The one totals line the station ends with: on a terminal, green if
    // every box completed, else red.
    void print_totals();

private:
    void pass_events(const std::vector<PortView>& views);
    void draw(const std::vector<PortView>& views, const std::string& log_trouble, bool final);
    std::string hint() const;
    void database_line();
    std::vector<PortView> views();
    void window(const std::vector<PortView>& views);
    void web_status(const std::vector<PortView>& views);

    std::string header_;
    OperatorOnDuty* on_duty_ = nullptr;
    const NumberJournal* numbers_;
    const LineKeeper* line_;
    bool values_;
    Workers& workers_;
    EventsFile& events_;
    ScreenBlock block_;
    bool terminal_;
    bool bell_;
    std::string host_;
    TerminalSetup setup_;
    StationStats stats_;
    KeyLines keys_;
    std::string answer_;      // what the last typed line did: "COM7 reset", "no port 9 here"
    std::string drawn_typed_;  // what the hint showed when last drawn
    std::string drawn_answer_;
    double answer_until_ = 0;
    int rings_ = 0;           // bells owed for boxes that failed
    std::string shown_trouble_;
    std::string shown_database_;
    TaskbarState shown_state_ = TaskbarState::Clear;
    unsigned shown_percent_ = 0;
    StationWeb* web_ = nullptr;
    std::string serving_;  // "serving http://127.0.0.1:8080/", a line of the header
    StationFacts facts_;
    std::vector<std::string> given_;  // each port as the log names it
};
