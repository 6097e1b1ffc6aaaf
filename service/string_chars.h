// The characters of a String16 or String8, on either generation of the platform's
// utility library: newer ones offer c_str() and hide string() (unless an
// obsolete-methods define is set), older ones offer only string().
#pragma once

#include <type_traits>
#include <utility>

namespace service {

template <class S, class = void> struct HasCStr : std::false_type {};
template <class S>
struct HasCStr<S, std::void_t<decltype(std::declval<const S&>().c_str())>> : std::true_type {};

template <class S> const auto* chars(const S& str) {
    if constexpr (HasCStr<S>::value) {
        return str.c_str();
    } else {
        return str.string();
    }
}

} // namespace service
