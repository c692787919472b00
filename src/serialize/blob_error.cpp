#include "serialize/blob.hpp"

namespace zembrik {

std::string BlobError::message() const {
  switch (kind) {
    case Kind::BadMagic:
      return "not a zembrik IR blob (bad magic/version)";
    case Kind::Truncated:
      return "truncated zembrik IR blob";
    case Kind::InvalidTag: {
      static constexpr const char* kWhich[] = {"node", "param", "stage-ref"};
      return std::string("invalid ") + kWhich[static_cast<int>(tag_kind)] + " tag " +
             std::to_string(value);
    }
    case Kind::InvalidUtf8:
      return "invalid utf-8 in zembrik IR blob";
    case Kind::NodeReference:
      return "node reference " + std::to_string(value) + " out of range";
  }
  return {};
}

std::string BlobTooLarge::message() const {
  return "cannot write a zembrik IR blob: a count, length or index of " + std::to_string(count) +
         " does not fit the format's 32-bit fields (at most " + std::to_string(kMaxBlobCount) + ")";
}

}  // namespace zembrik
