#pragma once

// The series a store's writer has written to its series table on its
// current connection. Each series is written with the first batch that has
// a row of it (and a series described anew is another Series), not with
// every batch: a batch's cost does not grow with its series beyond a lookup.
// Noted only once the batch's transaction committed; forgotten with the
// connection, whose next one may find another table. Writer thread only.

#include <cstddef>
#include <memory>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "rows.h"

namespace telem_pyb_log {

class WrittenSeries {
public:
    // The batch's series not written on this connection yet, each once;
    // pending until Committed() or Failed().
    std::vector<const Series*> Unwritten(const Batch& batch) {
        pending_.clear();
        std::unordered_set<const Series*> seen;
        std::vector<const Series*> found;
        batch.ForEachSeries([&](const std::shared_ptr<const Series>& series) {
            const Series* s = series.get();
            if (!seen.insert(s).second) {
                return;
            }
            // A live entry for this address is this series: two live series
            // never share one. An expired one may be a freed series whose
            // address the new one reuses.
            const auto at = written_.find(s);
            if (at != written_.end() && !at->second.expired()) {
                return;
            }
            found.push_back(s);
            pending_.emplace_back(s, series);
        });
        return found;
    }

    void Committed() {
        for (auto& [s, weak] : pending_) {
            written_[s] = std::move(weak);
        }
        pending_.clear();
        if (written_.size() > prune_at_) {
            for (auto it = written_.begin(); it != written_.end();) {
                it = it->second.expired() ? written_.erase(it) : std::next(it);
            }
            prune_at_ = std::max<std::size_t>(kPruneAtLeast, 2 * written_.size());
        }
    }

    void Failed() { pending_.clear(); }

    void Forget() {
        written_.clear();
        pending_.clear();
        prune_at_ = kPruneAtLeast;
    }

    std::size_t size() const { return written_.size(); }

private:
    static constexpr std::size_t kPruneAtLeast = 1024;
    std::unordered_map<const Series*, std::weak_ptr<const Series>> written_;
    std::vector<std::pair<const Series*, std::weak_ptr<const Series>>> pending_;
    std::size_t prune_at_ = kPruneAtLeast;
};

}  // namespace telem_pyb_log
