// Who is at the bench, and the order its boxes are flashed for: given at the
// start (--operator, STBLOAD_OPERATOR; --work-order, the job's [job]
// work_order), the operator changed at the station's screen while it runs.
// Each box's row takes them as they stand when the row is made.
//
// Mutex rules: `lock_` guards `operator_`; the screen's thread writes it,
// the ports' threads read it. `work_order_` is set before any port runs.
#pragma once

#include <string>

#include "console/thread_safety.h"

class OperatorOnDuty {
public:
    void set_operator(std::string name) EXCLUDES(lock_);
    std::string operator_name() const EXCLUDES(lock_);
    void set_work_order(std::string order) { work_order_ = std::move(order); }
    const std::string& work_order() const { return work_order_; }

private:
    mutable Mutex lock_;
    std::string operator_ GUARDED_BY(lock_);
    std::string work_order_;
};

// A name as an operator types it: blanks at either end taken off; false for
// one that is empty, longer than 255 characters, or holds a control character.
bool clean_operator_name(const std::string& typed, std::string& name);
