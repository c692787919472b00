// GlobalSymbol: a 32-bit handle to an interned string. Operators and pattern
// variables are symbols, so the e-graph compares and hashes them as plain
// integers and touches text only for display.
//
// Two tables hand out handles. The process-wide table holds what must live as
// long as the process (the texts the rules name); it has 16 shards, each
// behind its own mutex, and a fixed hash of the text picks the shard, so a
// text lands in the same shard in every process. A SymbolScope holds the
// symbols of one call: texts that only that call uses, such as the tokens of
// the graph being reduced, so that nothing a call interns stays behind.
//
// A process-wide handle holds the shard in bits 28..31 and the position in
// that shard plus one in bits 0..26, so a real handle is never 0. Bit 27 marks
// a scope's handle, which means something only inside its scope.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

#include "base/flat_map.hpp"
#include "base/hash.hpp"

namespace zembrik::eqsat {

class SymbolScope;

class GlobalSymbol {
 public:
  // The handle 0, which no interned string has; it only fills empty slots.
  constexpr GlobalSymbol() = default;
  // Interns into the process-wide table.
  explicit GlobalSymbol(std::string_view text);
  explicit GlobalSymbol(const char* text) : GlobalSymbol(std::string_view(text)) {}
  // Consumes the string, which becomes the table's copy when the text is new.
  explicit GlobalSymbol(std::string&& text);

  [[nodiscard]] std::uint32_t handle() const { return handle_; }
  // A view valid for the life of the process, or of the scope that made it.
  // A scope's handle is resolved through the scope active on this thread.
  [[nodiscard]] std::string_view as_str() const;

  friend constexpr auto operator<=>(GlobalSymbol, GlobalSymbol) = default;

 private:
  friend class SymbolScope;
  struct FromHandle {};
  constexpr GlobalSymbol(FromHandle, std::uint32_t handle) : handle_(handle) {}

  std::uint32_t handle_ = 0;
};

std::ostream& operator<<(std::ostream& out, GlobalSymbol symbol);  // the text

struct GlobalSymbolHash {
  std::uint64_t operator()(GlobalSymbol symbol) const;
};

// The symbols of one call, layered over the process-wide table: a text that
// table already holds keeps its handle there, so that rule patterns match
// it; any other text gets a handle of the scope's own. Everything the scope
// holds goes when it does. One thread uses a scope; while it lives, it is
// the one that resolves scope handles on that thread.
class SymbolScope {
 public:
  SymbolScope();
  ~SymbolScope();
  SymbolScope(const SymbolScope&) = delete;
  SymbolScope& operator=(const SymbolScope&) = delete;

  // `text` must stay alive and unchanged as long as the scope.
  GlobalSymbol intern(std::string_view text);
  // The text of one of this scope's handles.
  [[nodiscard]] std::string_view resolve(std::uint32_t handle) const;
  // The scope active on the calling thread, if any.
  static const SymbolScope* active();

 private:
  const SymbolScope* outer_;
  std::vector<std::string_view> texts_;
  FlatMap<std::string_view, std::uint32_t, KeyedTextHash> index_;
};

namespace detail {
inline constexpr std::uint32_t kShardShift = 28;
inline constexpr std::uint32_t kScopeBit = std::uint32_t{1} << 27;
// Process-wide positions plus one stay below kScopeBit.
inline constexpr std::uint32_t kSymbolIndexLimit = kScopeBit - 1;
// Packs a shard number and a one-based position into a handle; fails when the
// position does not fit in 27 bits.
std::uint32_t encode_symbol(unsigned shard, std::uint64_t position_plus_one);
inline bool is_scoped(std::uint32_t handle) {
  return (handle & kScopeBit) != 0;
}
}  // namespace detail

}  // namespace zembrik::eqsat
