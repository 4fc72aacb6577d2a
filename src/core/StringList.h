#pragma once
// An ordered list of byte strings, as the message record, the header list and
// the command-line parser keep them.

#include <string>
#include <string_view>
#include <vector>

/// How long LoadFromFile waits for the writer of a FIFO, in milliseconds.
inline constexpr int kPipeWriterWait = 30000;

/// A list of strings with indexed access; may be kept sorted.
class TStringList {
 public:
  virtual ~TStringList() = default;

  int Count() const { return static_cast<int>(items_.size()); }
  const std::string& operator[](int index) const { return items_.at(static_cast<size_t>(index)); }
  /// Replaces entry index; refused on a sorted list.
  void Put(int index, std::string value);

  /// Appends value (a sorted list inserts it in order); returns its index.
  int Add(std::string value);
  /// Inserts value before index; refused on a sorted list.
  void Insert(int index, std::string value);
  void Delete(int index);
  void Clear() { items_.clear(); }
  /// Makes this list a copy of source.
  void Assign(const TStringList& source) { items_ = source.items_; }

  bool Sorted() const { return sorted_; }
  void SetSorted(bool sorted);

  /// Index of the first "name=value" entry whose name equals name without
  /// regard to case, or -1.
  int IndexOfName(const std::string& name) const;
  /// The part of entry index after its first "=" (empty when there is none).
  std::string ValueFromIndex(int index) const;

  /// Cuts text into lines at CR LF, a lone CR and a lone LF; a byte 0 ends
  /// the text; a line end at the very end adds no empty entry; empty lines
  /// stay. Replaces the previous entries.
  void SetText(std::string_view text);
  /// Every entry followed by CR LF.
  std::string Text() const;
  /// Reads the whole file (others may read it meanwhile, not write), or a
  /// FIFO or pipe to its end (whose writer comes within kPipeWriterWait),
  /// and cuts it as SetText does. Raises EFOpenError "Cannot open file %s".
  void LoadFromFile(const std::string& path);

  const std::vector<std::string>& Items() const { return items_; }

 private:
  void RefuseIfSorted() const;

  std::vector<std::string> items_;
  bool sorted_ = false;
};
