#pragma once

#include <string>
#include <variant>

namespace norv::telem {

// A sample value; the alternatives' order is part of the interface.
using TsValue = std::variant<bool, long, double, std::string>;

static_assert(sizeof(long) == 8, "TsValue's integer is 64 bits wide");

}  // namespace norv::telem
