// Processors without vector encoders of ours: the portable one does it all.

#include "encoding/LineEncoding.h"

namespace line_encoding {

std::span<const LineEncoder> VectorEncoders() { return {}; }

}  // namespace line_encoding
