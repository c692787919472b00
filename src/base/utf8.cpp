#include "base/utf8.hpp"

namespace zembrik::utf8 {

bool valid_decoding(std::string_view text) {
  while (!text.empty()) {
    if (static_cast<unsigned char>(text[0]) < 0x80) {
      text.remove_prefix(1);
      continue;
    }
    const Decoded next = decode(text);
    if (next.length == 0) return false;
    text.remove_prefix(next.length);
  }
  return true;
}

}  // namespace zembrik::utf8
