#pragma once

// The series a store's writer has written to its series table on its
// current connection, with the id the table gave each. Each series is
// written with the first batch that has a row of it (and a series described
// anew is another Series), not with every batch: a batch's cost does not
// grow with its series beyond a lookup. A full row (one whose five texts are
// not its series') names a series made of its texts, found by those texts.
// Ids are kept only once the batch's transaction committed (until then they
// are pending: a rollback takes the series' rows with it); forgotten with
// the connection, whose next one may find another table. Writer thread only.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "rows.h"

namespace telem_pyb_log {

class WrittenSeries {
public:
    // The batch's series not written on this connection yet, each once;
    // pending until Committed() or Failed(). The store writes each and
    // gives its id to Written().
    std::vector<const Series*> Unwritten(const Batch& batch) {
        Failed();
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
            if (at != written_.end() && !at->second.series.expired()) {
                return;
            }
            found.push_back(s);
            pending_.emplace(s, Entry{series, 0});
        });
        return found;
    }

    void Written(const Series* series, std::int64_t id) { pending_[series].id = id; }

    // The id of a series of the batch (written, or pending in it).
    std::int64_t Id(const Series* series) {
        if (series == last_) {
            return last_id_;
        }
        auto at = pending_.find(series);
        if (at == pending_.end()) {
            at = written_.find(series);
        }
        last_ = series;
        last_id_ = at->second.id;
        return last_id_;
    }

    // The five texts of a full row, as the key of the series made of them.
    static std::string FullKey(const RowView& row) {
        std::string key;
        for (std::string_view text : {row.tsname, row.btype, row.units, row.comment, row.origin}) {
            key += std::to_string(text.size());
            key += ':';
            key += text;
        }
        return key;
    }

    // The id of the series of a full row's texts; 0 if not known yet.
    std::int64_t FullId(const std::string& key) const {
        auto at = full_pending_.find(key);
        if (at != full_pending_.end()) {
            return at->second;
        }
        at = full_.find(key);
        return at != full_.end() ? at->second : 0;
    }

    void FullWritten(const std::string& key, std::int64_t id) { full_pending_[key] = id; }

    void Committed() {
        for (auto& [s, entry] : pending_) {
            written_[s] = std::move(entry);
        }
        for (auto& [key, id] : full_pending_) {
            full_[key] = id;
        }
        Failed();
        if (written_.size() > prune_at_) {
            for (auto it = written_.begin(); it != written_.end();) {
                it = it->second.series.expired() ? written_.erase(it) : std::next(it);
            }
            prune_at_ = std::max<std::size_t>(kPruneAtLeast, 2 * written_.size());
        }
    }

    void Failed() {
        pending_.clear();
        full_pending_.clear();
        last_ = nullptr;
    }

    void Forget() {
        written_.clear();
        full_.clear();
        Failed();
        prune_at_ = kPruneAtLeast;
    }

    std::size_t size() const { return written_.size(); }

private:
    struct Entry {
        std::weak_ptr<const Series> series;
        std::int64_t id = 0;
    };
    static constexpr std::size_t kPruneAtLeast = 1024;
    std::unordered_map<const Series*, Entry> written_;
    std::unordered_map<const Series*, Entry> pending_;
    std::unordered_map<std::string, std::int64_t> full_;
    std::unordered_map<std::string, std::int64_t> full_pending_;
    std::size_t prune_at_ = kPruneAtLeast;
    const Series* last_ = nullptr;  // the last Id() asked, and its answer
    std::int64_t last_id_ = 0;
};

}  // namespace telem_pyb_log
