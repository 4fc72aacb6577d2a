#include "core/StringList.h"

#include <algorithm>
#include <optional>
#include <utility>

#include "core/Exceptions.h"
#include "core/Stream.h"
#include "platform/File.h"
#include "platform/Text.h"

namespace {
constexpr std::string_view kSortedListRefusal = "Operation not allowed on sorted list";

bool AnsiLess(const std::string& a, const std::string& b) { return platform::AnsiCompareText(a, b) < 0; }
}  // namespace

void TStringList::RefuseIfSorted() const {
  if (sorted_) throw Exception(std::string(kSortedListRefusal));
}

void TStringList::Put(int index, std::string value) {
  RefuseIfSorted();
  items_.at(static_cast<size_t>(index)) = std::move(value);
}

int TStringList::Add(std::string value) {
  if (!sorted_) {
    items_.push_back(std::move(value));
    return Count() - 1;
  }
  auto at = std::upper_bound(items_.begin(), items_.end(), value, AnsiLess);
  return static_cast<int>(items_.insert(at, std::move(value)) - items_.begin());
}

void TStringList::Insert(int index, std::string value) {
  RefuseIfSorted();
  if (index < 0 || index > Count()) throw ERangeError("List index out of bounds (" + std::to_string(index) + ")");
  items_.insert(items_.begin() + index, std::move(value));
}

void TStringList::Delete(int index) {
  if (index < 0 || index >= Count()) throw ERangeError("List index out of bounds (" + std::to_string(index) + ")");
  items_.erase(items_.begin() + index);
}

void TStringList::SetSorted(bool sorted) {
  if (sorted && !sorted_) std::stable_sort(items_.begin(), items_.end(), AnsiLess);
  sorted_ = sorted;
}

int TStringList::IndexOfName(const std::string& name) const {
  for (int i = 0; i < Count(); ++i) {
    const std::string& entry = items_[static_cast<size_t>(i)];
    const size_t eq = entry.find('=');
    if (eq != std::string::npos && platform::AnsiCompareText(entry.substr(0, eq), name) == 0) return i;
  }
  return -1;
}

std::string TStringList::ValueFromIndex(int index) const {
  const std::string& entry = (*this)[index];
  const size_t eq = entry.find('=');
  return eq == std::string::npos ? std::string() : entry.substr(eq + 1);
}

void TStringList::SetText(std::string_view text) {
  text = text.substr(0, text.find('\0'));
  items_.clear();
  size_t start = 0;
  while (start < text.size()) {
    size_t end = start;
    while (end < text.size() && text[end] != '\r' && text[end] != '\n') ++end;
    items_.emplace_back(text.substr(start, end - start));
    if (end < text.size() && text[end] == '\r') {
      ++end;
      if (end < text.size() && text[end] == '\n') ++end;  // CR LF is one line end
    } else if (end < text.size()) {
      ++end;  // a lone LF
    }
    start = end;
  }
}

std::string TStringList::Text() const {
  std::string text;
  for (const std::string& item : items_) {
    text += item;
    text += "\r\n";
  }
  return text;
}

void TStringList::LoadFromFile(const std::string& path) {
  std::string text;
  try {
    TFileStream file(path, platform::FileShare::kDenyWrite);
    text.resize(static_cast<size_t>(file.Size()));
    text.resize(static_cast<size_t>(file.Read(text.data(), static_cast<std::int64_t>(text.size()))));
  } catch (const EFOpenError&) {
    // A FIFO or pipe has no size to read by: it is read to its end.
    std::optional<std::string> piped = platform::ReadPipe(path, kPipeWriterWait);
    if (!piped) throw;
    text = std::move(*piped);
  }
  SetText(text);
}
