// SPDX-License-Identifier: MIT
// The file version: its form and its order. Pure functions.
#ifndef MENUHOLD_VERSION_H
#define MENUHOLD_VERSION_H

#include <functional>
#include <string>
#include <vector>

// The fields of a version as strtok_r cuts them: the version text is the first token
// with "v" as the delimiter set, its fields the tokens with "." as the delimiter set.
std::vector<std::string> version_fields(const char* version);

// A valid file version: a lower-case "v" first, then exactly four fields.
bool file_version_is_valid(const char* version);

// A number as atoi reads it (request options, version fields), saturated at the 32-bit
// range on every processor: leading white space, a sign, digits up to the first other
// character.
int atoi_saturated(const std::string& text);

// Called with each pair of fields compared, held first; nullptr for a field that ran out.
using FieldPairVisitor = std::function<void(const std::string* held, const std::string* uploaded)>;

// The order of two versions, field by field as decimal numbers: negative when uploaded
// is newer than held, 0 when both read the same, positive when held is newer. The first
// field whose values differ decides; a field that ran out reads as 0 (a pair that
// validation never lets through).
int version_order(const char* held, const char* uploaded, const FieldPairVisitor& visit = nullptr);

#endif
