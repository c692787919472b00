#include "eqsat/symbol.hpp"

#include <array>
#include <deque>
#include <mutex>
#include <ostream>

#include "eqsat/failure.hpp"
#include "eqsat/flat_map.hpp"
#include "eqsat/hashing.hpp"

namespace zembrik::eqsat {
namespace {

constexpr unsigned kShardCount = 16;
constexpr unsigned kShardShift = 28;

struct TextHash {
  std::uint64_t operator()(std::string_view text) const { return fixed_hash_bytes(text); }
};

struct Shard {
  std::mutex mutex;
  // Set while an append is under way: an exception that escapes it leaves the
  // list and the index out of step, and later users must not trust them.
  bool poisoned = false;
  // A deque never moves its elements, so views into them stay valid forever.
  std::deque<std::string> strings;
  FlatMap<std::string_view, std::uint32_t, TextHash> index;
};

class SymbolTable {
 public:
  static SymbolTable& global() {
    // Never destroyed, so handles and views outlive every static destructor.
    static SymbolTable* const table = new SymbolTable();
    return *table;
  }

  template <class Text>
  std::uint32_t intern(Text&& text) {
    const std::string_view view(text);
    const unsigned shard_number = static_cast<unsigned>(fixed_hash_bytes(view) % kShardCount);
    Shard& shard = shards_[shard_number];
    std::uint64_t position;
    {
      std::lock_guard lock(shard.mutex);
      check_not_poisoned(shard);
      if (const std::uint32_t* found = shard.index.find(view)) {
        position = *found;
      } else {
        position = shard.strings.size();
        shard.poisoned = true;
        shard.strings.emplace_back(std::forward<Text>(text));
        shard.index.try_emplace(shard.strings.back(), static_cast<std::uint32_t>(position));
        shard.poisoned = false;
      }
    }
    return detail::encode_symbol(shard_number, position + 1);
  }

  std::string_view resolve(std::uint32_t handle) {
    Shard& shard = shards_[handle >> kShardShift];
    const std::uint32_t position_plus_one = handle & detail::kSymbolIndexLimit;
    std::lock_guard lock(shard.mutex);
    check_not_poisoned(shard);
    if (position_plus_one == 0 || position_plus_one > shard.strings.size()) {
      fail("No interned string for symbol handle " + std::to_string(handle));
    }
    return shard.strings[position_plus_one - 1];
  }

 private:
  static void check_not_poisoned(const Shard& shard) {
    if (shard.poisoned) fail("Symbol table shard poisoned by an earlier failure");
  }

  std::array<Shard, kShardCount> shards_;
};

}  // namespace

namespace detail {
std::uint32_t encode_symbol(unsigned shard, std::uint64_t position_plus_one) {
  if (position_plus_one >= kSymbolIndexLimit) {
    fail("Can't represent index " + std::to_string(position_plus_one) + " in a Symbol");
  }
  return static_cast<std::uint32_t>(position_plus_one) | (shard << kShardShift);
}
}  // namespace detail

GlobalSymbol::GlobalSymbol(std::string_view text) : handle_(SymbolTable::global().intern(text)) {}

GlobalSymbol::GlobalSymbol(std::string&& text)
    : handle_(SymbolTable::global().intern(std::move(text))) {}

std::string_view GlobalSymbol::as_str() const {
  return SymbolTable::global().resolve(handle_);
}

std::ostream& operator<<(std::ostream& out, GlobalSymbol symbol) {
  return out << symbol.as_str();
}

std::string debug_string(GlobalSymbol symbol) {
  std::string quoted = "\"";
  for (const char c : symbol.as_str()) {
    if (c == '"' || c == '\\') quoted += '\\';
    quoted += c;
  }
  return quoted + "\"";
}

std::uint64_t GlobalSymbolHash::operator()(GlobalSymbol symbol) const {
  return mix64(symbol.handle());
}

}  // namespace zembrik::eqsat
