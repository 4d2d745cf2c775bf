#pragma once

#include <exception>
#include <string>
#include <utility>

namespace brix::error {

// Root of the framework's error types. Default visibility keeps one type
// identity across shared objects, so a module can catch what another threw.
class __attribute__((visibility("default"))) NorvException : public std::exception {
public:
    explicit NorvException(std::string message) : message_(std::move(message)) {}

    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

}  // namespace brix::error
