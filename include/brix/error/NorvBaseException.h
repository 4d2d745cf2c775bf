#pragma once

#include <string>

#include "brix/error/NorvException.h"

namespace brix::error {

// Base of the errors that the framework's libraries throw.
class __attribute__((visibility("default"))) NorvBaseException : public NorvException {
public:
    using NorvException::NorvException;
};

}  // namespace brix::error
