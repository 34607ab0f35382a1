// SPDX-License-Identifier: MIT
// The limits that bound the service's memory whatever users send: the memory it may take
// at its peak, the largest product file, the memory one file's parse may take, and the
// most products held. A board with less memory sets them lower at build time (see the
// README).
#ifndef MENUHOLD_SERVICE_LIMITS_H
#define MENUHOLD_SERVICE_LIMITS_H

#include <cstddef>

#ifndef MENUHOLD_PEAK_MEMORY_MIB
#define MENUHOLD_PEAK_MEMORY_MIB 64
#endif
#ifndef MENUHOLD_LARGEST_FILE_MIB
#define MENUHOLD_LARGEST_FILE_MIB 16
#endif
#ifndef MENUHOLD_PARSE_BUDGET_MIB
#define MENUHOLD_PARSE_BUDGET_MIB 32
#endif
#ifndef MENUHOLD_MOST_PRODUCTS
#define MENUHOLD_MOST_PRODUCTS 25000
#endif

namespace limits {

constexpr size_t kMiB = 1024 * 1024;
constexpr size_t kPeakMemory = MENUHOLD_PEAK_MEMORY_MIB * kMiB;
constexpr size_t kLargestProductFile = MENUHOLD_LARGEST_FILE_MIB * kMiB;
constexpr size_t kParseBudget = MENUHOLD_PARSE_BUDGET_MIB * kMiB;
constexpr size_t kMostProducts = MENUHOLD_MOST_PRODUCTS;

// What the service takes with nothing held (program, libraries, stack, buffers), and what
// one held product costs at most (its list record, its table row, the row's print and its
// share of the gzip copy), both measured with room to spare.
constexpr size_t kBaseMemory = 6 * kMiB;
constexpr size_t kHeldProductCharge = 1280;
static_assert(kBaseMemory + kLargestProductFile + kMostProducts * kHeldProductCharge < kPeakMemory,
              "the largest file with the most products held must leave room for its parse");

// The memory the parse of a product file of file_size bytes may take while `held` products
// are held: what the peak leaves beside them and the file, and never more than the budget.
constexpr size_t parse_budget(size_t held, size_t file_size)
{
    const size_t taken = kBaseMemory + file_size + (held < kMostProducts ? held : kMostProducts) * kHeldProductCharge;
    const size_t left = taken < kPeakMemory ? kPeakMemory - taken : 0;
    return left < kParseBudget ? left : kParseBudget;
}

}  // namespace limits

#endif
