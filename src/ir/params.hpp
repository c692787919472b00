// Parameter values and parameter maps: the typed, ordered settings that are
// part of every node's identity.
//
// Floats compare by bit pattern with every NaN folded onto one canonical
// quiet NaN, so +0.0 and -0.0 differ and there is no numeric tolerance. An
// Int never equals a Float or a Bool. A ParamMap keeps its entries sorted by
// the raw bytes of their keys, stably, without removing repeated keys.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace zembrik {

// The canonical quiet NaN that every NaN is compared and hashed as.
inline constexpr std::uint64_t kCanonicalNanBits = 0x7FF8000000000000ULL;

// The bit pattern a float compares by: its own bits, or the canonical NaN.
std::uint64_t canonical_float_bits(double value);

// A tagged parameter value. The alternative index is the tag that the
// canonical blob writes: 0 Int, 1 Float, 2 Bool, 3 Str.
struct ParamValue {
  enum class Tag : std::uint8_t { Int = 0, Float = 1, Bool = 2, Str = 3 };

  using Value = std::variant<std::int64_t, double, bool, std::string>;
  Value value;

  // Copies build the alternative in place. libstdc++'s own variant copy
  // treats this variant as never valueless and, when the string copy throws
  // std::bad_alloc, destroys an alternative that was never built.
  ParamValue(const ParamValue& other) : value(copy_of(other.value)) {}
  ParamValue(ParamValue&&) noexcept = default;
  ParamValue& operator=(const ParamValue& other) {
    if (this != &other) *this = ParamValue(other);
    return *this;
  }
  ParamValue& operator=(ParamValue&&) noexcept = default;

  static ParamValue Int(std::int64_t v) { return {std::in_place_index<0>, v}; }
  static ParamValue Float(double v) { return {std::in_place_index<1>, v}; }
  static ParamValue Bool(bool v) { return {std::in_place_index<2>, v}; }
  static ParamValue Str(std::string v) { return {std::in_place_index<3>, std::move(v)}; }

  Tag tag() const { return static_cast<Tag>(value.index()); }
  std::int64_t as_int() const { return std::get<0>(value); }
  double as_float() const { return std::get<1>(value); }
  bool as_bool() const { return std::get<2>(value); }
  const std::string& as_str() const { return std::get<3>(value); }

  friend bool operator==(const ParamValue& a, const ParamValue& b);

 private:
  template <std::size_t I, class T>
  ParamValue(std::in_place_index_t<I> index, T&& v) : value(index, std::forward<T>(v)) {}

  static Value copy_of(const Value& from) {
    return std::visit(
        [](const auto& v) { return Value(std::in_place_type<std::decay_t<decltype(v)>>, v); },
        from);
  }
};

using ParamEntry = std::pair<std::string, ParamValue>;

// A parameter whose key and str value are views held elsewhere (in a record,
// in Python objects): what readers and writers of records pass around
// instead of owning copies.
struct ParamView {
  std::string_view key;
  ParamValue::Tag tag;
  std::int64_t int_value;
  double float_value;
  bool bool_value;
  std::string_view str_value;

  static ParamView of(std::string_view key, const ParamValue& value) {
    ParamView view{key, value.tag(), 0, 0.0, false, {}};
    switch (value.tag()) {
      case ParamValue::Tag::Int:
        view.int_value = value.as_int();
        break;
      case ParamValue::Tag::Float:
        view.float_value = value.as_float();
        break;
      case ParamValue::Tag::Bool:
        view.bool_value = value.as_bool();
        break;
      case ParamValue::Tag::Str:
        view.str_value = value.as_str();
        break;
    }
    return view;
  }
  // The value as an owned ParamValue.
  ParamValue value() const;
};

// Orders `entries` by the key bytes `key_of(entry)` gives; entries with
// equal keys keep their order. Insertion sort for the small maps almost all
// are, which unlike stable_sort allocates nothing.
template <class Entries, class KeyOf>
void sort_by_key(Entries& entries, KeyOf&& key_of) {
  using Entry = std::remove_cvref_t<decltype(*entries.begin())>;
  // std::string_view compares as unsigned bytes, which is the order keys need.
  const auto before = [&](const Entry& a, const Entry& b) {
    return std::string_view(key_of(a)) < std::string_view(key_of(b));
  };
  const auto first = entries.begin();
  const std::size_t n = entries.size();
  if (n <= 16) {
    for (std::size_t i = 1; i < n; ++i) {
      for (std::size_t j = i; j > 0 && before(first[j], first[j - 1]); --j) {
        std::swap(first[j], first[j - 1]);
      }
    }
  } else {
    std::stable_sort(entries.begin(), entries.end(), before);
  }
}

class ParamMap {
 public:
  ParamMap() = default;

  // Orders loose entries by key bytes; entries with equal keys keep their
  // arrival order. The only way to build a map from loose entries.
  static ParamMap from_entries(std::vector<ParamEntry> entries);

  std::size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  const ParamEntry& operator[](std::size_t i) const { return entries_[i]; }
  auto begin() const { return entries_.begin(); }
  auto end() const { return entries_.end(); }

  friend bool operator==(const ParamMap& a, const ParamMap& b) = default;

 private:
  std::vector<ParamEntry> entries_;
};

// Human-readable text of a value, as node labels show it.
void append_display(std::string& out, const ParamValue& value);
// "{key=value, ...}" in map order.
void append_display(std::string& out, const ParamMap& params);

}  // namespace zembrik
