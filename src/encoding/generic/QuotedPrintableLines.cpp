// Processors without vector code of ours: the portable encoder.

#include "encoding/QuotedPrintable.h"

namespace quoted_printable {

std::size_t EncodeLine(const std::uint8_t* in, std::size_t n, char* out) { return PortableEncodeLine(in, n, out); }

}  // namespace quoted_printable
