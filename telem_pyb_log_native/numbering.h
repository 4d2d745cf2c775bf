#pragma once

// Row numbers: the one rule that exactly-once delivery rests on, and every
// check of it.
//
// Every row a pipeline delivers has a number under a key (a UUID: a spool's
// identity, or the pipeline's own without a spool). Numbers start at 1, are
// contiguous, and only move forward: a row's number is given once, when the
// row enters the spool (or, without one, when the writer takes it from the
// queue), and never given again under that key. A batch is rows
// `first`, `first + 1`, ... that follow on `follows`, the last number the
// store has accounted for before them: the numbers between (if any) are rows
// that were set aside or lost, and said so, before the batch.
//
// Where it is checked:
// - the spool when it opens: segment names, record headers and the records'
//   row counts must agree; a gap is a damaged record (its rows reported
//   lost), an overlap is skipped (never delivered twice);
// - the spool when it reads a record: its header again (number, CRC);
// - the delivery loop (DeliveryLoop::Attempt): every batch follows on the
//   last number done, and `confirmed` only moves forward;
// - the stores' ledgers (LedgerPlan below): a ledger never moves backwards,
//   and only from the count that the batch follows on.

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

namespace telem_pyb_log {

// The numbers of a batch: under `key`, rows first .. first + rows - 1,
// following on `follows` (<= first - 1). `horizon` is the highest number
// given under the key so far: a ledger beyond it means that the numbering
// fell behind the store's (a spool whose files were removed or damaged).
// `durable`: the key outlives the process (a spool's identity).
struct BatchNumbers {
    std::string key;
    std::uint64_t follows = 0;
    std::uint64_t first = 1;
    std::uint64_t horizon = 0;
    bool durable = false;
};

// A batch that breaks the rule, or a ledger ahead of every number given.
class NumberingError : public std::logic_error {
public:
    using std::logic_error::logic_error;
};

// Throws NumberingError unless a batch of `rows` rows numbered `numbers`
// follows on `accounted`, the last number accounted for (written, set aside
// or lost), and its ledger advance starts no later than that. A batch of no
// rows is a ledger advance alone: across rows set aside or lost, when no
// rows follow them yet.
inline void CheckFollows(const BatchNumbers& numbers, std::uint64_t rows, std::uint64_t accounted) {
    const std::uint64_t end = numbers.first - 1 + rows;
    if (numbers.first != accounted + 1 || numbers.follows > numbers.first - 1 || end > numbers.horizon
        || (rows == 0 && numbers.follows == end)) {
        throw NumberingError("rows " + std::to_string(numbers.first) + " to " + std::to_string(end) + " (after "
                             + std::to_string(numbers.follows) + ", numbered up to "
                             + std::to_string(numbers.horizon) + ") do not follow on row "
                             + std::to_string(accounted));
    }
}

// What a write does with its ledger, from what the ledger shows for the key
// (`stored`: the last number it holds; none: no entry).
struct LedgerPlan {
    std::uint64_t skip = 0;     // rows at the batch's front that the store holds already
    bool write = true;          // false: it holds the whole batch
    bool insert = false;        // the key has no entry yet: one is made
    std::uint64_t expect = 0;   // the count the advance starts from (compare and set)
    std::uint64_t advance = 0;  // the count after the batch
    // The store holds fewer rows than it had confirmed: numbers
    // behind_from .. numbers.follows are gone (0: none).
    std::uint64_t behind_from = 0;
    // The key is new to the store while rows before the batch exist: they
    // went to another destination (or this one lost them all).
    bool new_destination = false;
};

// The rule both ledgers follow. `known_from`: the count this store object
// found or made for the key when it first wrote under it (none: it has not;
// then an absent entry is a destination new to the key, not a loss).
// Throws NumberingError when the ledger is ahead of every number given.
inline LedgerPlan PlanLedger(std::optional<std::uint64_t> stored, const BatchNumbers& numbers, std::uint64_t rows,
                             std::optional<std::uint64_t> known_from) {
    LedgerPlan plan;
    const std::uint64_t end = numbers.first - 1 + rows;
    plan.advance = end;
    if (!stored) {
        plan.insert = true;
        if (known_from && numbers.follows > *known_from) {
            plan.behind_from = *known_from + 1;  // its entry is gone with the rows it counted
        } else if (!known_from && numbers.follows > 0) {
            plan.new_destination = true;
        }
        return plan;
    }
    if (*stored > numbers.horizon) {
        throw NumberingError("the ledger holds " + std::to_string(*stored) + " rows of " + numbers.key
                             + ", more than the " + std::to_string(numbers.horizon) + " numbered so far");
    }
    plan.expect = *stored;
    if (*stored >= end) {
        plan.write = false;
        plan.skip = rows;
    } else if (*stored >= numbers.first - 1) {
        plan.skip = *stored - (numbers.first - 1);
    } else if (*stored < numbers.follows) {
        plan.behind_from = *stored + 1;
    }
    return plan;
}

}  // namespace telem_pyb_log
