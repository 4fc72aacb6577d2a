#include "encoding/QxUUE.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>
#include <string>

#include "core/Exceptions.h"
#include "encoding/LineEncoding.h"

namespace {
using line_encoding::kAlphabets;
using line_encoding::kLineBytes;

// The input of a whole run (92,160 bytes) is at least a file stream's
// read-ahead, so that it goes straight to the file; input and output of a
// run stay in the processor's cache.
static_assert(kEncodeRunLines * kLineBytes >= TFileStream::kReadAhead);
constexpr char kPad = '=';
}  // namespace

TQxUUProcessor::TQxUUProcessor(TComponent* owner) : TComponent(owner) {}

void TQxUUProcessor::Encode() {
  if (!InputStream || !OutputStream) throw Exception(std::string(kEncodeNeedsStreams));
  std::exception_ptr failure;
  try {
    InputStream->SetPosition(0);
    if (OnBeginEncode) OnBeginEncode(this);
    std::memcpy(table_, kAlphabets.data() + (Method == uuCode ? line_encoding::kUUEncodeHalf : line_encoding::kBase64Half),
                sizeof table_);
    EncodeLines();
  } catch (...) {
    failure = std::current_exception();
  }
  try {
    OutputStream->SetPosition(0);
  } catch (...) {
    // The first failure explains more than a rewind that failed after it.
    if (!failure) failure = std::current_exception();
  }
  if (OnEndEncode) OnEndEncode(this);
  if (failure) std::rethrow_exception(failure);
}

void TQxUUProcessor::EncodeLines() {
  const bool uu = Method == uuCode;
  const line_encoding::FullLines fullLines =
      uu ? line_encoding::FastestEncoder().uuencode : line_encoding::FastestEncoder().base64;
  // The size is taken once: asking a file for it on every run would cost a
  // system call each time. Nothing beyond it is read.
  const std::int64_t size = InputStream->Size();
  // A small input gets buffers of its own size, not a whole run's.
  const std::size_t runLines =
      static_cast<std::size_t>(std::clamp<std::int64_t>((size + 44) / 45, 0, kEncodeRunLines));
  const std::size_t runBytes = runLines * kLineBytes;
  const std::unique_ptr<std::uint8_t[]> input(new std::uint8_t[runBytes]);
  std::unique_ptr<char[]> output;  // made only for an output that offers no room in place
  std::int64_t position = 0;
  bool exhausted = false;
  while (position < size && !exhausted) {
    // A run is filled completely (a stream may yield less than asked at a
    // time), so that every line but the very last holds 45 bytes.
    std::size_t filled = 0;
    while (filled < runBytes && position < size) {
      const std::int64_t wanted = std::min<std::int64_t>(static_cast<std::int64_t>(runBytes - filled), size - position);
      const std::int64_t n = InputStream->Read(input.get() + filled, wanted);
      if (n <= 0) {
        exhausted = true;  // the input yields less than it claimed (cut short while read)
        break;
      }
      const std::int64_t taken = std::min(n, wanted);  // a stream that claims more cannot push the run past its end
      filled += static_cast<std::size_t>(taken);
      position += taken;
    }
    const std::size_t lines = filled / kLineBytes;
    const std::size_t rest = filled % kLineBytes;
    const std::size_t lineSize = uu ? line_encoding::kUUEncodeLineSize : line_encoding::kBase64LineSize;
    const auto runSize = static_cast<std::int64_t>(lines * lineSize + (rest > 0 ? ShortLineSize(rest) : 0));
    // Straight into the output's memory where it offers it: each character
    // is then written once.
    char* const inPlace = OutputStream->RoomInPlace(runSize);
    if (!inPlace && !output) output.reset(new char[runLines * line_encoding::kUUEncodeLineSize]);
    char* const run = inPlace ? inPlace : output.get();
    const std::size_t full = fullLines(input.get(), lines, run);
    if (rest > 0) EncodeShortLine(input.get() + lines * kLineBytes, rest, run + full);
    if (inPlace) {
      OutputStream->CommitInPlace(runSize);
    } else {
      OutputStream->WriteBuffer(output.get(), runSize);
    }
  }
  if (uu) {
    const char zeroLengthLine[] = {table_[0], '\r', '\n'};
    OutputStream->WriteBuffer(zeroLengthLine, sizeof zeroLengthLine);
  }
}

std::size_t TQxUUProcessor::ShortLineSize(std::size_t n) const {
  const std::size_t characters = Method == uuCode ? 1 + n / 3 * 4 + (n % 3 == 0 ? 0 : n % 3 + 1) : (n + 2) / 3 * 4;
  return characters + 2;
}

std::size_t TQxUUProcessor::EncodeShortLine(const std::uint8_t* in, std::size_t n, char* line) const {
  const bool uu = Method == uuCode;
  char* out = line;
  if (uu) *out++ = table_[n];
  const std::uint8_t* const groupsEnd = in + n / 3 * 3;
  for (; in != groupsEnd; in += 3) {
    *out++ = table_[in[0] >> 2];
    *out++ = table_[((in[0] << 4) | (in[1] >> 4)) & 63];
    *out++ = table_[((in[1] << 2) | (in[2] >> 6)) & 63];
    *out++ = table_[in[2] & 63];
  }
  switch (n % 3) {
    case 1:
      *out++ = table_[in[0] >> 2];
      *out++ = table_[(in[0] << 4) & 48];
      if (!uu) {
        *out++ = kPad;
        *out++ = kPad;
      }
      break;
    case 2:
      *out++ = table_[in[0] >> 2];
      *out++ = table_[((in[0] << 4) & 48) | (in[1] >> 4)];
      *out++ = table_[(in[1] << 2) & 60];
      if (!uu) *out++ = kPad;
      break;
    default: break;
  }
  *out++ = '\r';
  *out++ = '\n';
  return static_cast<std::size_t>(out - line);
}
