#pragma once

#include <string>

#include "brix/error/NorvBaseException.h"

namespace norv::telem {

// The error that the telemetry library throws; Python sees it as
// telem_pyb.TelemException.
class __attribute__((visibility("default"))) TelemException : public brix::error::NorvBaseException {
public:
    using NorvBaseException::NorvBaseException;
};

}  // namespace norv::telem
