#pragma once

#include <map>
#include <string>

#include "norv/telem/TsMetadata.h"
#include "norv/telem/TsPoint.h"
#include "norv/telem/TsValue.h"

namespace norv::telem {

// The abstract sink for telemetry records. The slot order of the five
// operations is shared by every piece of code compiled against it.
class TelemRecorder {
public:
    virtual void RecordMetadata(const TsMetadata& meta) = 0;

    // Fills a TsMetadata from the nine known keys (exact match) and records it.
    virtual void RecordMetadataKv(const std::map<std::string, std::string>& kv) {
        TsMetadata meta;
        const auto take = [&kv](const char* key, std::string& field) {
            const auto it = kv.find(key);
            if (it != kv.end()) field = it->second;
        };
        take("tsid", meta.tsid);
        take("tsname", meta.tsname);
        take("btype", meta.btype);
        take("units", meta.units);
        take("origin", meta.origin);
        take("serial", meta.serial);
        take("role", meta.role);
        take("comment", meta.comment);
        take("json", meta.json);
        RecordMetadata(meta);
    }

    virtual void RecordPoint(const TsPoint& point) = 0;

    // Records a bare value as a point without a time text.
    virtual void RecordValue(TsValue value) {
        const TsPoint point(std::move(value));
        RecordPoint(point);
    }

    virtual void Close() = 0;
};

}  // namespace norv::telem
