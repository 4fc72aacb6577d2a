#include "encoding/QxUUE.h"

#include <cstring>
#include <exception>
#include <string>

#include "core/Exceptions.h"

namespace {
// uuencode alphabet (grave accent for 0, then codes 33 to 95), then base64.
constexpr std::string_view kAlphabets =
    "`!\"#$%&'()*+,-./0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_"
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
static_assert(kAlphabets.size() == 128);
constexpr std::size_t kUUCodeHalf = 0;
constexpr std::size_t kMimeHalf = 64;

// Two characters for every 12-bit value, so that a group of three bytes
// takes two lookups instead of four.
struct PairTable {
  char pairs[4096][2];
};

constexpr PairTable MakePairTable(std::size_t half) {
  PairTable table{};
  for (std::size_t v = 0; v < 4096; ++v) {
    table.pairs[v][0] = kAlphabets[half + (v >> 6)];
    table.pairs[v][1] = kAlphabets[half + (v & 63)];
  }
  return table;
}

constexpr PairTable kMimePairs = MakePairTable(kMimeHalf);
constexpr PairTable kUUCodePairs = MakePairTable(kUUCodeHalf);

constexpr std::int64_t kBlockSize = 45;
constexpr std::size_t kMaxLine = 1 + kBlockSize / 3 * 4 + 2;  // length character, data, CR LF
constexpr char kPad = '=';
}  // namespace

TQxUUProcessor::TQxUUProcessor(TComponent* owner) : TComponent(owner) {}

void TQxUUProcessor::Encode() {
  if (!InputStream || !OutputStream) throw Exception(std::string(kEncodeNeedsStreams));
  std::exception_ptr failure;
  try {
    InputStream->SetPosition(0);
    if (OnBeginEncode) OnBeginEncode(this);
    std::memcpy(table_, kAlphabets.data() + (Method == uuCode ? kUUCodeHalf : kMimeHalf), sizeof table_);
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
  const PairTable& pairs = uu ? kUUCodePairs : kMimePairs;
  unsigned char block[kBlockSize];
  char line[kMaxLine];
  // The size is taken once: asking a file for it on every line would cost a
  // system call per 45 bytes.
  const std::int64_t size = InputStream->Size();
  std::int64_t position = 0;
  while (position < size) {
    const std::int64_t n = InputStream->Read(block, kBlockSize);
    if (n <= 0) break;  // the input yields less than it claimed (cut short while read)
    position += n;
    char* out = line;
    if (uu) *out++ = table_[n];
    const unsigned char* in = block;
    const unsigned char* const groupsEnd = block + n / 3 * 3;
    for (; in != groupsEnd; in += 3, out += 4) {
      const std::uint32_t group = (std::uint32_t{in[0]} << 16) | (std::uint32_t{in[1]} << 8) | in[2];
      std::memcpy(out, pairs.pairs[group >> 12], 2);
      std::memcpy(out + 2, pairs.pairs[group & 0xFFF], 2);
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
    OutputStream->WriteBuffer(line, out - line);
  }
  if (uu) {
    const char zeroLengthLine[] = {table_[0], '\r', '\n'};
    OutputStream->WriteBuffer(zeroLengthLine, sizeof zeroLengthLine);
  }
}
