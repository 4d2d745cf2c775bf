#pragma once

#include <string>

namespace norv::telem {

// The description of one time series.
struct TsMetadata {
    std::string tsid;
    std::string tsname;
    std::string btype;
    std::string units;
    std::string origin;
    std::string serial;
    std::string role;
    std::string comment;
    std::string json;
};

}  // namespace norv::telem
