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
}  // namespace

TQxUUProcessor::TQxUUProcessor(TComponent* owner) : TComponent(owner) {}

void TQxUUProcessor::Encode() {
  if (!InputStream || !OutputStream) throw Exception(std::string(kEncodeNeedsStreams));
  std::exception_ptr failure;
  try {
    InputStream->SetPosition(0);
    if (OnBeginEncode) OnBeginEncode(this);
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
  // The size is taken once: asking a file for it on every run would cost a
  // system call each time. Nothing beyond it is read.
  const std::int64_t size = InputStream->Size();
  // A small input gets a buffer of its own size, not a whole run's.
  const auto runBytes =
      static_cast<std::size_t>(std::clamp<std::int64_t>((size + 44) / 45, 0, kEncodeRunLines)) * kLineBytes;
  const std::unique_ptr<std::uint8_t[]> run(new std::uint8_t[runBytes]);
  std::unique_ptr<char[]> lines;  // made only for an output that offers no room in place
  for (std::int64_t position = 0; position < size;) {
    const auto wanted =
        static_cast<std::size_t>(std::min<std::int64_t>(static_cast<std::int64_t>(runBytes), size - position));
    const std::size_t filled = ReadRun(run.get(), wanted);
    if (filled > 0) WriteRun(run.get(), filled, lines);
    // Less than wanted: the input yields less than it claimed (cut short while read).
    if (filled < wanted) break;
    position += static_cast<std::int64_t>(filled);
  }
  char closing[kClosingLineSize];
  OutputStream->WriteBuffer(closing, static_cast<std::int64_t>(CloseLines(closing)));
}

std::int64_t TQxUUProcessor::EncodedSize(std::int64_t size) const {
  const std::int64_t bytes = std::max<std::int64_t>(size, 0);
  const auto lineBytes = static_cast<std::int64_t>(kLineBytes);
  // Whole lines, as many as a file may hold, then a run of the rest.
  return bytes / lineBytes * static_cast<std::int64_t>(RunSize(kLineBytes)) +
         static_cast<std::int64_t>(RunSize(static_cast<std::size_t>(bytes % lineBytes))) +
         (Method == uuCode ? static_cast<std::int64_t>(kClosingLineSize) : 0);
}

std::size_t TQxUUProcessor::RunSize(std::size_t count) const {
  const std::size_t rest = count % kLineBytes;
  const std::size_t lineSize = Method == uuCode ? line_encoding::kUUEncodeLineSize : line_encoding::kBase64LineSize;
  return count / kLineBytes * lineSize + (rest > 0 ? ShortLineSize(rest) : 0);
}

std::size_t TQxUUProcessor::EncodeRun(const std::uint8_t* run, std::size_t count, char* out) const {
  const line_encoding::LineEncoder& encoder = line_encoding::FastestEncoder();
  const std::size_t fullLines = count / kLineBytes;
  const std::size_t rest = count % kLineBytes;
  std::size_t written = (Method == uuCode ? encoder.uuencode : encoder.base64)(run, fullLines, out);
  if (rest > 0) written += EncodeShortLine(run + fullLines * kLineBytes, rest, out + written);
  return written;
}

std::size_t TQxUUProcessor::CloseLines(char* out) const {
  if (Method != uuCode) return 0;
  out[0] = Table()[0];
  out[1] = '\r';
  out[2] = '\n';
  return kClosingLineSize;
}

const char* TQxUUProcessor::Table() const {
  return kAlphabets.data() + (Method == uuCode ? line_encoding::kUUEncodeHalf : line_encoding::kBase64Half);
}

std::size_t TQxUUProcessor::ReadRun(std::uint8_t* run, std::size_t count) {
  // A stream may yield less than asked at a time: the run is filled all the
  // same, so that every line but the very last holds 45 bytes.
  std::size_t filled = 0;
  while (filled < count) {
    const auto wanted = static_cast<std::int64_t>(count - filled);
    const std::int64_t n = InputStream->Read(run + filled, wanted);
    if (n <= 0) break;
    filled += static_cast<std::size_t>(std::min(n, wanted));  // a stream that claims more cannot overrun the run
  }
  return filled;
}

void TQxUUProcessor::WriteRun(const std::uint8_t* run, std::size_t count, std::unique_ptr<char[]>& scratch) {
  const auto size = static_cast<std::int64_t>(RunSize(count));
  // Straight into the output's memory where it offers room: each character
  // is then written once.
  char* const inPlace = OutputStream->RoomInPlace(size);
  if (!inPlace && !scratch) scratch.reset(new char[kEncodeRunLines * line_encoding::kUUEncodeLineSize]);
  char* const out = inPlace ? inPlace : scratch.get();
  EncodeRun(run, count, out);
  if (inPlace) {
    OutputStream->CommitInPlace(size);
  } else {
    OutputStream->WriteBuffer(out, size);
  }
}

std::size_t TQxUUProcessor::ShortLineSize(std::size_t n) const {
  const std::size_t characters = Method == uuCode ? 1 + n / 3 * 4 + (n % 3 == 0 ? 0 : n % 3 + 1) : (n + 2) / 3 * 4;
  return characters + 2;
}

std::size_t TQxUUProcessor::EncodeShortLine(const std::uint8_t* in, std::size_t n, char* line) const {
  const bool uu = Method == uuCode;
  const char* table = Table();
  char* out = line;
  if (uu) *out++ = table[n];
  out += line_encoding::EncodeGroups(in, n, table, !uu, out);
  *out++ = '\r';
  *out++ = '\n';
  return static_cast<std::size_t>(out - line);
}
