#pragma once
// A string list of header lines: field name, colon, value.

#include <string>

#include "core/StringList.h"

/// A list of header lines with lookup and replacement by field name (the
/// text before the first ":", untrimmed). Owned by whoever creates it.
class TExStringList : public TStringList {
 public:
  /// Index of the line whose field name equals name without regard to case
  /// under the user's locale, or -1. Unsorted: the first such line, lines
  /// without ":" skipped. Sorted: a halving search over the field names.
  int FieldIndex(const std::string& name) const;
  /// Non-empty value: replaces the line of name in place, or appends one,
  /// as name + ": " + value (name in the letter case given). Empty value:
  /// deletes the line of name if there is one. A sorted list gets the new
  /// line inserted in order instead.
  void SetFieldValue(const std::string& name, const std::string& value);
};
