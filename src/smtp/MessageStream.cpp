#include "smtp/MessageStream.h"

#include <algorithm>
#include <cstring>

#include "smtp/SmtpTexts.h"

/// A file's part while it is read: the open file, what it was when measured,
/// and the encoded lines of the block read last.
class TMessageStream::FilePart {
 public:
  FilePart(std::unique_ptr<TFileStream> file, std::string entry, std::unique_ptr<TPartEncoder> encoder,
           std::int64_t size)
      : file_(std::move(file)),
        entry_(std::move(entry)),
        encoder_(std::move(encoder)),
        inputSize_(file_->Size()),
        state_(file_->State()),
        size_(size) {
    Start();
  }

  /// Back to the file's start, for the part to be read anew.
  void Start() {
    file_->SetPosition(0);
    encoder_->Restart();
    inputLeft_ = inputSize_;
    produced_ = 0;
    finished_ = false;
    lines_.clear();
    handedOut_ = 0;
  }

  /// Copies up to count encoded bytes into out; returns the count, 0 once
  /// the file's last block was read, checked and handed out whole.
  std::int64_t Read(char* out, std::int64_t count) {
    if (handedOut_ == lines_.size()) {
      if (finished_) {
        // Its blocks are not needed until the part is read anew: a message
        // of many parts holds no more than one part's.
        std::vector<char>().swap(block_);
        std::string().swap(lines_);
        handedOut_ = 0;
        return 0;
      }
      EncodeNextBlock();
    }
    const std::size_t n = std::min(static_cast<std::size_t>(count), lines_.size() - handedOut_);
    std::memcpy(out, lines_.data() + handedOut_, n);
    handedOut_ += n;
    return static_cast<std::int64_t>(n);
  }

 private:
  void EncodeNextBlock() {
    const auto wanted = static_cast<std::int64_t>(
        std::min(static_cast<std::uint64_t>(inputLeft_), static_cast<std::uint64_t>(encoder_->BlockSize())));
    block_.resize(static_cast<std::size_t>(wanted));
    std::int64_t got = 0;
    try {
      // A file stream reads on until the count or the file's end.
      got = file_->Read(block_.data(), wanted);
    } catch (const EStreamError&) {
      Fail(kFileUnreadable);
    }
    if (got < wanted) Fail(kFileShrank);
    inputLeft_ -= got;
    finished_ = inputLeft_ == 0;
    lines_.clear();
    handedOut_ = 0;
    encoder_->Encode(std::string_view(block_.data(), block_.size()), finished_, lines_);
    produced_ += static_cast<std::int64_t>(lines_.size());
    // Every check comes before the last lines go out, so that the message
    // never ends with a part that is not the file as measured.
    if (produced_ > size_) Fail(kFileWritten);
    if (finished_) CheckUnchanged();
  }

  void CheckUnchanged() {
    char extra = 0;
    try {
      if (file_->Read(&extra, 1) > 0) Fail(kFileGrew);
    } catch (const EStreamError&) {
      Fail(kFileUnreadable);
    }
    if (produced_ != size_ || file_->State() != state_) Fail(kFileWritten);
  }

  [[noreturn]] void Fail(std::string_view how) const {
    throw EFileChanged(FillPlaceholder(FillPlaceholder(kErrFileChanged, entry_), how));
  }

  std::unique_ptr<TFileStream> file_;
  std::string entry_;
  std::unique_ptr<TPartEncoder> encoder_;
  std::int64_t inputSize_;
  std::optional<platform::FileState> state_;
  std::int64_t size_;
  std::int64_t inputLeft_ = 0;
  std::int64_t produced_ = 0;
  bool finished_ = false;
  std::vector<char> block_;
  std::string lines_;
  std::size_t handedOut_ = 0;
};

TMessageStream::Piece::Piece() = default;
TMessageStream::Piece::~Piece() = default;
TMessageStream::Piece::Piece(Piece&&) noexcept = default;
TMessageStream::Piece& TMessageStream::Piece::operator=(Piece&&) noexcept = default;

TMessageStream::~TMessageStream() = default;

std::int64_t TMessageStream::Read(void* buffer, std::int64_t count) {
  CatchUp();
  const std::int64_t n = ReadAtCursor(static_cast<char*>(buffer), std::min(count, size_ - position_));
  position_ = cursor_;
  return n;
}

std::int64_t TMessageStream::ReadAtCursor(char* out, std::int64_t count) {
  std::int64_t total = 0;
  while (total < count && piece_ < pieces_.size()) {
    Piece& piece = pieces_[piece_];
    std::int64_t n = 0;
    if (piece.file) {
      n = piece.file->Read(out + total, count - total);
    } else {
      n = std::min(count - total, piece.size - offset_);
      std::memcpy(out + total, piece.text->Memory() + offset_, static_cast<std::size_t>(n));
    }
    offset_ += n;
    total += n;
    // A file's part is over once its file was checked to its end, which
    // may take a read that yields nothing more.
    if (n == 0 || (!piece.file && offset_ == piece.size)) {
      ++piece_;
      offset_ = 0;
    }
  }
  cursor_ += total;
  return total;
}

void TMessageStream::CatchUp() {
  if (position_ < cursor_) Rewind();
  char skipped[4096];
  while (cursor_ < position_) {
    if (ReadAtCursor(skipped, std::min<std::int64_t>(position_ - cursor_, sizeof skipped)) == 0) break;
  }
}

void TMessageStream::Rewind() {
  for (Piece& piece : pieces_) {
    if (piece.file) piece.file->Start();
  }
  piece_ = 0;
  offset_ = 0;
  cursor_ = 0;
}

std::int64_t TMessageStream::Write(const void* buffer, std::int64_t count) {
  if (count <= 0) return 0;
  std::memcpy(RoomInPlace(count), buffer, static_cast<std::size_t>(count));
  CommitInPlace(count);
  return count;
}

char* TMessageStream::RoomInPlace(std::int64_t count) { return LastText().RoomInPlace(count); }

void TMessageStream::CommitInPlace(std::int64_t count) {
  TMemoryStream& text = *pieces_.back().text;
  text.CommitInPlace(count);
  size_ += text.DataSize() - pieces_.back().size;
  pieces_.back().size = text.DataSize();
}

void TMessageStream::ReserveText(std::int64_t count) {
  TMemoryStream& text = LastText();
  text.Reserve(text.DataSize() + count);
}

TMemoryStream& TMessageStream::LastText() {
  if (pieces_.empty() || pieces_.back().file) {
    pieces_.emplace_back();
    pieces_.back().text = std::make_unique<TMemoryStream>();
  }
  return *pieces_.back().text;
}

std::int64_t TMessageStream::Seek(std::int64_t offset, std::uint16_t origin) {
  const std::int64_t base = origin == soFromBeginning ? 0 : origin == soFromCurrent ? position_ : size_;
  position_ = std::clamp<std::int64_t>(base + offset, 0, size_);
  return position_;
}

void TMessageStream::AppendFile(std::unique_ptr<TFileStream> file, std::string entry,
                                std::unique_ptr<TPartEncoder> encoder, std::int64_t size) {
  Piece piece;
  piece.file = std::make_unique<FilePart>(std::move(file), std::move(entry), std::move(encoder), size);
  piece.size = size;
  pieces_.push_back(std::move(piece));
  size_ += size;
}

std::int64_t TMessageStream::MeasureEncoded(TFileStream& file, TPartEncoder& encoder) {
  encoder.Restart();
  file.SetPosition(0);
  std::vector<char> block(encoder.BlockSize());
  std::string lines;
  std::int64_t size = 0;
  for (std::int64_t left = file.Size();;) {
    const std::int64_t wanted = std::min(left, static_cast<std::int64_t>(block.size()));
    file.ReadBuffer(block.data(), wanted);
    left -= wanted;
    lines.clear();
    encoder.Encode(std::string_view(block.data(), static_cast<std::size_t>(wanted)), left == 0, lines);
    size += static_cast<std::int64_t>(lines.size());
    if (left == 0 || !encoder.Suits()) break;
  }
  file.SetPosition(0);
  return size;
}

void TMessageStream::Clear() {
  pieces_.clear();
  size_ = 0;
  position_ = 0;
  Rewind();
}

std::string TMessageStream::ToString() {
  std::string data(static_cast<std::size_t>(size_), '\0');
  const std::int64_t position = position_;
  position_ = 0;
  data.resize(static_cast<std::size_t>(Read(data.data(), size_)));
  position_ = position;
  return data;
}
