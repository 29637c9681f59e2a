// The line's database in memory, for the keeper's tests: a pool of ranges,
// a table of boxes, and switches that make it away, or refuse rows. The test
// keeps a handle on the state; the keeper owns the MemoryPool.
#pragma once

#include <map>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "db/line_pool.h"
#include "records/log_columns.h"

struct MemoryPoolState {
    // Switches the test sets.
    bool away = false;             // every call fails as unreachable
    int refuse_rows = 0;           // the next this many inserts fail as refused (not for want of a connection)
    std::uint64_t cap_lease = 0;   // when non-zero: no lease larger than this

    // What the pool holds.
    std::map<std::string, std::uint64_t> next;  // per field, once leased
    std::vector<std::vector<std::string>> boxes;
    std::set<std::tuple<std::string, std::string, std::string>> keys;  // station, port, started
    int lease_calls = 0;
    int insert_calls = 0;
    int duplicates = 0;  // inserts of a row the table had
    std::vector<Approval> approvals;  // the newest first
    int approval_reads = 0;
};

class MemoryPool final : public LinePool {
public:
    explicit MemoryPool(std::shared_ptr<MemoryPoolState> state) : state_(std::move(state)) {}

    bool ready(DbError& error) override { return reached(error); }
    void disconnect() override {}

    bool insert_box(const std::vector<std::string>& fields, DbError& error) override {
        ++state_->insert_calls;
        if (!reached(error)) return false;
        if (state_->refuse_rows > 0) {
            --state_->refuse_rows;
            error = {DbFault::Failed, "22001", "value too long"};
            return false;
        }
        const auto key = std::make_tuple(fields[col::STATION], fields[col::PORT], fields[col::STARTED]);
        if (!state_->keys.insert(key).second) {
            ++state_->duplicates;
            return true;
        }
        state_->boxes.push_back(fields);
        return true;
    }

    LeaseResult take_lease(const std::vector<PoolField>& fields, std::uint64_t count, const std::string&,
                           const std::string&, Lease& lease, std::string& used_up, DbError& error) override {
        ++state_->lease_calls;
        if (!reached(error)) return LeaseResult::Failed;
        std::uint64_t take = state_->cap_lease != 0 && state_->cap_lease < count ? state_->cap_lease : count;
        std::vector<std::uint64_t> first;
        for (const PoolField& field : fields) {
            const std::uint64_t next = next_of(field);
            const std::uint64_t left = next > field.last ? 0 : field.last - next + 1;
            if (left == 0) {
                used_up = field.name;
                return LeaseResult::UsedUp;
            }
            if (left < take) take = left;
            first.push_back(next);
        }
        for (std::size_t f = 0; f < fields.size(); ++f) state_->next[fields[f].name] = first[f] + take;
        lease.first = first;
        lease.count = take;
        return LeaseResult::Taken;
    }

    bool read_approvals(std::vector<Approval>& approvals, DbError& error) override {
        ++state_->approval_reads;
        if (!reached(error)) return false;
        approvals = state_->approvals;
        return true;
    }

    bool next_values(const std::vector<PoolField>& fields, std::vector<std::uint64_t>& next,
                     DbError& error) override {
        if (!reached(error)) return false;
        next.clear();
        for (const PoolField& field : fields) next.push_back(next_of(field));
        return true;
    }

private:
    bool reached(DbError& error) const {
        if (!state_->away) return true;
        error = {DbFault::Unreachable, "08001", "could not connect to server: Connection refused"};
        return false;
    }
    std::uint64_t next_of(const PoolField& field) const {
        const auto found = state_->next.find(field.name);
        return found == state_->next.end() ? field.first : found->second;
    }

    std::shared_ptr<MemoryPoolState> state_;
};
