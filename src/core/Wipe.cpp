#include "core/Wipe.h"

void WipeBytes(void* data, std::size_t size) {
  // Writes through a volatile pointer are side effects the compiler keeps,
  // unlike a memset of storage that is about to be freed.
  volatile unsigned char* bytes = static_cast<unsigned char*>(data);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = 0;
}

void Wipe(std::string& text) {
  WipeBytes(text.data(), text.size());
  text.clear();
}
