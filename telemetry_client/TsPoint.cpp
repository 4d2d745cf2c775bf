#include <array>
#include <charconv>
#include <string>
#include <type_traits>
#include <variant>

#include "norv/telem/TsPoint.h"

namespace norv::telem {

namespace {

// Shortest decimal text that reads back as the same number.
template <typename Number>
std::string NumberText(Number number) {
    std::array<char, 32> buffer;
    const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), number);
    return std::string(buffer.data(), result.ptr);
}

}  // namespace

std::string TsPoint::value_str() const {
    return std::visit(
        [](const auto& v) -> std::string {
            using V = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<V, bool>) {
                return v ? "true" : "false";
            } else if constexpr (std::is_same_v<V, std::string>) {
                return v;
            } else {
                return NumberText(v);
            }
        },
        value);
}

}  // namespace norv::telem
