#include "eqsat/symbol.hpp"

#include <pthread.h>

#include <array>
#include <deque>
#include <mutex>
#include <optional>
#include <ostream>

#include "base/failure.hpp"
#include "base/flat_map.hpp"
#include "eqsat/hashing.hpp"

namespace zembrik::eqsat {
namespace {

constexpr unsigned kShardCount = 16;

struct Shard {
  std::mutex mutex;
  // A deque never moves its elements, so views into them stay valid forever.
  std::deque<std::string> strings;
  // Keyed, unlike the shard choice: the slot within a shard is what a
  // flood of colliding texts would aim at.
  FlatMap<std::string_view, std::uint32_t, KeyedTextHash> index;
};

unsigned shard_of(std::string_view text) {
  return static_cast<unsigned>(fixed_hash_bytes(text) % kShardCount);
}

class SymbolTable {
 public:
  static SymbolTable& global() {
    // Never destroyed, so handles and views outlive every static destructor.
    static SymbolTable* const table = new SymbolTable();
    return *table;
  }

  SymbolTable() {
    // A child of fork() holds only the forking thread, so a shard that
    // another thread had locked would stay locked in it for good. Taking
    // every shard around the fork hands the child a table with all free; a
    // shard is held for one lookup at a time, so the fork waits no longer.
    forking_table_ = this;
    pthread_atfork(&SymbolTable::lock_all, &SymbolTable::unlock_all, &SymbolTable::unlock_all);
  }

  template <class Text>
  std::uint32_t intern(Text&& text) {
    const std::string_view view(text);
    const unsigned shard_number = shard_of(view);
    Shard& shard = shards_[shard_number];
    std::uint64_t position;
    {
      std::lock_guard lock(shard.mutex);
      if (const std::uint32_t* found = shard.index.find(view)) {
        position = *found;
      } else {
        position = shard.strings.size();
        // Room in the index first and the string second: either can fail to
        // allocate, and neither failure leaves a trace.
        shard.index.reserve(shard.index.size() + 1);
        shard.strings.emplace_back(std::forward<Text>(text));
        shard.index.try_emplace(shard.strings.back(), static_cast<std::uint32_t>(position));
      }
    }
    return detail::encode_symbol(shard_number, position + 1);
  }

  std::optional<std::uint32_t> find(std::string_view text) {
    const unsigned shard_number = shard_of(text);
    Shard& shard = shards_[shard_number];
    std::lock_guard lock(shard.mutex);
    const std::uint32_t* found = shard.index.find(text);
    if (found == nullptr) return std::nullopt;
    return detail::encode_symbol(shard_number, std::uint64_t{*found} + 1);
  }

  std::string_view resolve(std::uint32_t handle) {
    Shard& shard = shards_[handle >> detail::kShardShift];
    const std::uint32_t position_plus_one = handle & detail::kSymbolIndexLimit;
    std::lock_guard lock(shard.mutex);
    if (position_plus_one == 0 || position_plus_one > shard.strings.size()) {
      fail("No interned string for symbol handle " + std::to_string(handle));
    }
    return shard.strings[position_plus_one - 1];
  }

 private:
  static void lock_all() noexcept {
    for (Shard& shard : forking_table_->shards_) shard.mutex.lock();
  }
  static void unlock_all() noexcept {
    for (Shard& shard : forking_table_->shards_) shard.mutex.unlock();
  }

  // Set before the handlers are registered, so that a fork during the
  // table's own construction finds it.
  static inline SymbolTable* forking_table_ = nullptr;

  std::array<Shard, kShardCount> shards_;
};

thread_local const SymbolScope* active_scope = nullptr;

// A scope's handles number its texts from 1 in the 31 bits beside the scope
// bit.
constexpr std::uint64_t kScopeLimit = std::uint64_t{1} << 31;

std::uint32_t encode_scoped(std::uint64_t index_plus_one) {
  return static_cast<std::uint32_t>(index_plus_one & detail::kSymbolIndexLimit) |
         detail::kScopeBit | static_cast<std::uint32_t>((index_plus_one >> 27) << 28);
}

std::uint64_t decode_scoped(std::uint32_t handle) {
  return (handle & detail::kSymbolIndexLimit) |
         (std::uint64_t{handle >> detail::kShardShift} << 27);
}

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
  if (!detail::is_scoped(handle_)) return SymbolTable::global().resolve(handle_);
  const SymbolScope* scope = SymbolScope::active();
  if (scope == nullptr) fail("Symbol handle " + std::to_string(handle_) + " outside its scope");
  return scope->resolve(handle_);
}

SymbolScope::SymbolScope() : outer_(active_scope) {
  active_scope = this;
}

SymbolScope::~SymbolScope() {
  active_scope = outer_;
}

const SymbolScope* SymbolScope::active() {
  return active_scope;
}

GlobalSymbol SymbolScope::intern(std::string_view text) {
  if (const std::uint32_t* found = index_.find(text)) {
    return GlobalSymbol(GlobalSymbol::FromHandle{}, *found);
  }
  if (const std::optional<std::uint32_t> shared = SymbolTable::global().find(text)) {
    return GlobalSymbol(GlobalSymbol::FromHandle{}, *shared);
  }
  const std::uint64_t index_plus_one = texts_.size() + 1;
  if (index_plus_one >= kScopeLimit) {
    fail("Can't represent index " + std::to_string(index_plus_one) + " in a Symbol");
  }
  const std::uint32_t handle = encode_scoped(index_plus_one);
  index_.reserve(index_.size() + 1);
  texts_.push_back(text);
  index_.try_emplace(text, handle);
  return GlobalSymbol(GlobalSymbol::FromHandle{}, handle);
}

std::string_view SymbolScope::resolve(std::uint32_t handle) const {
  const std::uint64_t index_plus_one = decode_scoped(handle);
  if (!detail::is_scoped(handle) || index_plus_one == 0 || index_plus_one > texts_.size()) {
    fail("No interned string for symbol handle " + std::to_string(handle));
  }
  return texts_[index_plus_one - 1];
}

std::ostream& operator<<(std::ostream& out, GlobalSymbol symbol) {
  return out << symbol.as_str();
}

std::uint64_t GlobalSymbolHash::operator()(GlobalSymbol symbol) const {
  return mix64(symbol.handle());
}

}  // namespace zembrik::eqsat
