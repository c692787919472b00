// GlobalSymbol: a 32-bit handle to a string interned in the process-wide
// symbol table. Operators and pattern variables are symbols, so the e-graph
// compares and hashes them as plain integers and touches text only for
// display.
//
// The table has 16 shards, each behind its own mutex; a fixed hash of the
// text picks the shard, so a text lands in the same shard in every process.
// A handle holds the shard in bits 28..31 and the position in that shard plus
// one in bits 0..27, so a real handle is never 0.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <string_view>

namespace zembrik::eqsat {

class GlobalSymbol {
 public:
  // The handle 0, which no interned string has; it only fills empty slots.
  constexpr GlobalSymbol() = default;
  explicit GlobalSymbol(std::string_view text);
  explicit GlobalSymbol(const char* text) : GlobalSymbol(std::string_view(text)) {}
  // Consumes the string, which becomes the table's copy when the text is new.
  explicit GlobalSymbol(std::string&& text);

  [[nodiscard]] std::uint32_t handle() const { return handle_; }
  // A view valid for the life of the process.
  [[nodiscard]] std::string_view as_str() const;

  friend constexpr auto operator<=>(GlobalSymbol, GlobalSymbol) = default;

 private:
  std::uint32_t handle_ = 0;
};

std::ostream& operator<<(std::ostream& out, GlobalSymbol symbol);  // the text
std::string debug_string(GlobalSymbol symbol);                     // the text, quoted

struct GlobalSymbolHash {
  std::uint64_t operator()(GlobalSymbol symbol) const;
};

namespace detail {
inline constexpr std::uint32_t kSymbolIndexLimit = 0x0FFFFFFF;
// Packs a shard number and a one-based position into a handle; fails when the
// position does not fit in 28 bits.
std::uint32_t encode_symbol(unsigned shard, std::uint64_t position_plus_one);
}  // namespace detail

}  // namespace zembrik::eqsat
