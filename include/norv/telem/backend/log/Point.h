#pragma once

#include <string>

#include "norv/telem/TsMetadata.h"
#include "norv/telem/TsPoint.h"

namespace norv::telem::backend::log {

// The flat record that the log backend stores for one sample.
struct Point {
    std::string mtime;
    std::string tsname;
    std::string value;
    std::string btype;
    std::string units;
    std::string comment;
    std::string origin;
};

// Converts a series' metadata and one of its points into a log record.
// Throws TelemException when the metadata has no series name.
Point ConvertPointToDb(const TsMetadata& meta, const TsPoint& point);

}  // namespace norv::telem::backend::log
