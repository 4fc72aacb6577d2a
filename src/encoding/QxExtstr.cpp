#include "encoding/QxExtstr.h"

#include "platform/Text.h"

namespace {
/// The text before the first ":", or empty when the line has none.
std::string FieldNameOf(const std::string& line) {
  const std::size_t colon = line.find(':');
  return colon == std::string::npos ? std::string() : line.substr(0, colon);
}
}  // namespace

int TExStringList::FieldIndex(const std::string& name) const {
  if (!Sorted()) {
    for (int i = 0; i < Count(); ++i) {
      const std::string& line = (*this)[i];
      if (line.find(':') != std::string::npos && platform::AnsiCompareText(FieldNameOf(line), name) == 0) return i;
    }
    return -1;
  }
  int lo = 0;
  int hi = Count() - 1;
  while (lo <= hi) {
    const int mid = lo + (hi - lo) / 2;
    const int order = platform::AnsiCompareText(FieldNameOf((*this)[mid]), name);
    if (order == 0) return mid;
    if (order < 0) {
      lo = mid + 1;
    } else {
      hi = mid - 1;
    }
  }
  return -1;
}

void TExStringList::SetFieldValue(const std::string& name, const std::string& value) {
  const int index = FieldIndex(name);
  if (value.empty()) {
    if (index >= 0) Delete(index);
    return;
  }
  std::string line = name + ": " + value;
  if (Sorted()) {
    // A sorted list refuses edits in place: the new line takes its place in order.
    if (index >= 0) Delete(index);
    Add(std::move(line));
  } else if (index < 0) {
    Add(std::move(line));
  } else {
    Put(index, std::move(line));
  }
}
