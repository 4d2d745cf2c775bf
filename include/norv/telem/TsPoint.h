#pragma once

#include <string>
#include <utility>

#include "norv/telem/TsValue.h"

namespace norv::telem {

// One sample of a time series: its value and its time as text.
struct TsPoint {
    TsPoint() = default;
    explicit TsPoint(TsValue v) : value(std::move(v)) {}

    // The value as text; implemented by the telemetry client library.
    std::string value_str() const;

    TsValue value{std::string()};
    std::string mtime;
};

}  // namespace norv::telem
