// SPDX-License-Identifier: GPL-3.0-or-later
// Order statistics of float arrays without sorting or copying the whole array.
#pragma once

#include <cstddef>
#include <utility>

// The k-th and (k+1)-th smallest of n values (0-based k < n; the second is the k-th when
// k + 1 == n), as std::nth_element orders finite values. Values are ranked by their bits
// in IEEE total order: -0 below +0, NaNs at the ends by sign. Two passes over the values
// (a histogram of their top 16 bits, then the values of the one or two buckets that hold
// the ranks) instead of a partial sort of a copy.
std::pair<float, float> neighbouringOrderStatistics(const float* values, std::size_t n, std::size_t k);
