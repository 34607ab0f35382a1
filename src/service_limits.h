// SPDX-License-Identifier: MIT
// The limits that bound the service's memory whatever users send: the largest product
// file, the memory one file's parse may take, and the most products held. A board with
// less memory sets them lower at build time (see the README).
#ifndef MENUHOLD_SERVICE_LIMITS_H
#define MENUHOLD_SERVICE_LIMITS_H

#include <cstddef>

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
constexpr size_t kLargestProductFile = MENUHOLD_LARGEST_FILE_MIB * kMiB;
constexpr size_t kMostProducts = MENUHOLD_MOST_PRODUCTS;

// What one held product costs at most: its list record, its table row with the row's
// print and its share of the gzip copy. Charged against the parse budget, so that a parse
// never takes what the products held already use.
constexpr size_t kHeldProductCharge = 1024;
constexpr size_t kParseBudget = MENUHOLD_PARSE_BUDGET_MIB * kMiB;
static_assert(kMostProducts * kHeldProductCharge < kParseBudget, "the most products held leave no parse budget");

// The memory a product file's parse may take while `held` products are held.
constexpr size_t parse_budget(size_t held)
{
    return kParseBudget - (held < kMostProducts ? held : kMostProducts) * kHeldProductCharge;
}

}  // namespace limits

#endif
