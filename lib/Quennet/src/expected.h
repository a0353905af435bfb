#pragma once

// The daemon's result type. tl::expected is not packaged on the target systems; the standard
// std::expected has the same has-value/error semantics, so tl:: names alias it.
#include <expected>

namespace tl {
template <class T, class E>
using expected = std::expected<T, E>;

template <class E>
using unexpected = std::unexpected<E>;
} // namespace tl
