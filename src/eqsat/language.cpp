#include "eqsat/language.hpp"

#include <algorithm>

#include "base/hash.hpp"
#include "eqsat/hashing.hpp"

namespace zembrik::eqsat {

SymbolLang::SymbolLang(GlobalSymbol op, std::span<const Id> children)
    : op_(op), arity_(static_cast<std::uint32_t>(children.size())) {
  if (on_heap()) heap_ = new Id[arity_];
  std::copy(children.begin(), children.end(), data());
}

SymbolLang::SymbolLang(GlobalSymbol op, std::size_t arity)
    : op_(op), arity_(static_cast<std::uint32_t>(arity)) {
  if (on_heap()) heap_ = new Id[arity_];
  std::fill_n(data(), arity_, Id{0});
}

SymbolLang::SymbolLang(SymbolLang&& other) noexcept {
  take(other);
}

SymbolLang& SymbolLang::operator=(const SymbolLang& other) {
  if (this != &other) *this = SymbolLang(other);
  return *this;
}

SymbolLang& SymbolLang::operator=(SymbolLang&& other) noexcept {
  if (this == &other) return *this;
  release();
  take(other);
  return *this;
}

void SymbolLang::take(SymbolLang& other) noexcept {
  op_ = other.op_;
  arity_ = other.arity_;
  if (on_heap()) {
    heap_ = other.heap_;  // the children travel with the pointer
  } else {
    std::copy_n(other.inline_, kInlineChildren, inline_);
  }
  other.arity_ = 0;
}

bool operator==(const SymbolLang& a, const SymbolLang& b) {
  return a.matches(b) && std::equal(a.data(), a.data() + a.arity_, b.data());
}

bool operator<(const SymbolLang& a, const SymbolLang& b) {
  if (a.op_ != b.op_) return a.op_ < b.op_;
  const auto ac = a.children();
  const auto bc = b.children();
  return std::lexicographical_compare(ac.begin(), ac.end(), bc.begin(), bc.end());
}

std::uint64_t SymbolLangHash::operator()(const SymbolLang& node) const {
  // Keyed (base/hash.hpp): a user's graph decides which children nodes have.
  KeyedHasher hasher;
  hasher.add((std::uint64_t{node.op().handle()} << 32) | node.arity());
  const auto children = node.children();
  std::size_t i = 0;
  for (; i + 2 <= children.size(); i += 2) {
    hasher.add((std::uint64_t{children[i]} << 32) | children[i + 1]);
  }
  if (i < children.size()) hasher.add(children[i]);
  return hasher.finish();
}

// A variable's handle is numbered by the symbol table, so the fixed mix suffices.
std::uint64_t ENodeOrVarHash::operator()(const ENodeOrVar& entry) const {
  if (const Var* var = std::get_if<Var>(&entry)) return mix64(~std::uint64_t{var->symbol.handle()});
  return SymbolLangHash{}(std::get<SymbolLang>(entry));
}

}  // namespace zembrik::eqsat
