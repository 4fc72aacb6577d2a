// Processors without vector code of ours: literal runs byte by byte.

#include "encoding/QuotedPrintable.h"

namespace quoted_printable {

std::size_t LiteralRun(const std::uint8_t* in, std::size_t n) { return PortableLiteralRun(in, n); }

}  // namespace quoted_printable
