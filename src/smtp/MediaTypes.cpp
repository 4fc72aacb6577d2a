#include "smtp/MediaTypes.h"

#include <algorithm>
#include <iterator>
#include <string>

#include "core/AsciiCase.h"

namespace media_types {
namespace {

struct TypeOfExtension {
  std::string_view extension;  // lower case, without the "."
  std::string_view type;
};

// Sorted by extension, for the binary search.
constexpr TypeOfExtension kTypes[] = {
    {"7z", "application/x-7z-compressed"},
    {"bmp", "image/bmp"},
    {"bz2", "application/x-bzip2"},
    {"csv", "text/csv"},
    {"doc", "application/msword"},
    {"docx", "application/vnd.openxmlformats-officedocument.wordprocessingml.document"},
    {"eml", kMessage},
    {"gif", "image/gif"},
    {"gz", "application/gzip"},
    {"htm", "text/html"},
    {"html", "text/html"},
    {"ics", "text/calendar"},
    {"jpeg", "image/jpeg"},
    {"jpg", "image/jpeg"},
    {"json", "application/json"},
    {"log", "text/plain"},
    {"md", "text/markdown"},
    {"mp3", "audio/mpeg"},
    {"mp4", "video/mp4"},
    {"odp", "application/vnd.oasis.opendocument.presentation"},
    {"ods", "application/vnd.oasis.opendocument.spreadsheet"},
    {"odt", "application/vnd.oasis.opendocument.text"},
    {"pdf", "application/pdf"},
    {"png", "image/png"},
    {"ppt", "application/vnd.ms-powerpoint"},
    {"pptx", "application/vnd.openxmlformats-officedocument.presentationml.presentation"},
    {"rar", "application/vnd.rar"},
    {"rtf", "application/rtf"},
    {"svg", "image/svg+xml"},
    {"tar", "application/x-tar"},
    {"tgz", "application/gzip"},
    {"tif", "image/tiff"},
    {"tiff", "image/tiff"},
    {"tsv", "text/tab-separated-values"},
    {"txt", "text/plain"},
    {"vcf", "text/vcard"},
    {"wav", "audio/wav"},
    {"webp", "image/webp"},
    {"xls", "application/vnd.ms-excel"},
    {"xlsx", "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"},
    {"xml", "application/xml"},
    {"zip", "application/zip"},
};
static_assert(std::is_sorted(std::begin(kTypes), std::end(kTypes),
                             [](const TypeOfExtension& a, const TypeOfExtension& b) { return a.extension < b.extension; }));

// Longer than any extension in the table.
constexpr std::size_t kLongestExtension = 8;

/// What a file of an image type begins with: first, and second at its place.
struct ImageSignature {
  std::string_view type;
  std::string_view first;
  std::size_t at = 0;
  std::string_view second = {};
};

using std::string_view_literals::operator""sv;

constexpr ImageSignature kImageSignatures[] = {
    {"image/png", "\x89PNG\r\n\x1A\n"},
    {"image/jpeg", "\xFF\xD8\xFF"},
    {"image/gif", "GIF8"},
    {"image/tiff", "II*\0"sv},
    {"image/tiff", "MM\0*"sv},
    {"image/webp", "RIFF", 8, "WEBP"},
    // "BM" alone begins many a text: the size of the header that follows,
    // one of its usual forms', must be there too.
    {"image/bmp", "BM", 14, "\x0C\0\0\0"sv},
    {"image/bmp", "BM", 14, "\x28\0\0\0"sv},
    {"image/bmp", "BM", 14, "\x6C\0\0\0"sv},
    {"image/bmp", "BM", 14, "\x7C\0\0\0"sv},
};

}  // namespace

std::string_view MediaTypeOf(std::string_view fileName) {
  const std::size_t dot = fileName.rfind('.');
  if (dot == std::string_view::npos || fileName.size() - dot - 1 > kLongestExtension) return kOctetStream;
  const std::string extension = AsciiLowered(fileName.substr(dot + 1));
  const auto found = std::lower_bound(std::begin(kTypes), std::end(kTypes), extension,
                                      [](const TypeOfExtension& t, const std::string& e) { return t.extension < e; });
  return found != std::end(kTypes) && found->extension == extension ? found->type : kOctetStream;
}

bool IsText(std::string_view mediaType) { return mediaType.substr(0, 5) == "text/"; }

bool IsImage(std::string_view mediaType) { return mediaType.substr(0, 6) == "image/"; }

std::string_view ImageTypeOfContent(std::string_view head) {
  for (const ImageSignature& signature : kImageSignatures) {
    if (head.starts_with(signature.first) && head.substr(std::min(signature.at, head.size())).starts_with(signature.second)) {
      return signature.type;
    }
  }
  return {};
}

}  // namespace media_types
