// The node language of the e-graph and of patterns.
//
// `SymbolLang` is an operator symbol applied to an ordered list of children.
// In the e-graph the children are e-class ids; in a pattern or ground term
// (`RecExpr`) they are indices of earlier entries of the same term.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>
#include <variant>
#include <vector>

#include "eqsat/symbol.hpp"

namespace zembrik::eqsat {

// An e-class identifier; dense from 0 in order of creation.
using Id = std::uint32_t;

// 16 bytes with up to two children inline: almost every node of a data
// pipeline is a leaf, unary or binary, and the e-graph keeps several copies of
// each node (member, users, repair list, hash-cons key). A general small
// vector would need 24 bytes here, about a tenth more e-graph memory.
class SymbolLang {
 public:
  SymbolLang() = default;
  SymbolLang(GlobalSymbol op, std::span<const Id> children);
  SymbolLang(GlobalSymbol op, std::initializer_list<Id> children)
      : SymbolLang(op, std::span<const Id>(children.begin(), children.size())) {}
  // A leaf, or a node of `arity` children that are all 0.
  SymbolLang(GlobalSymbol op, std::size_t arity);

  SymbolLang(const SymbolLang& other) : SymbolLang(other.op_, other.children()) {}
  SymbolLang(SymbolLang&& other) noexcept;
  SymbolLang& operator=(const SymbolLang& other);
  SymbolLang& operator=(SymbolLang&& other) noexcept;
  ~SymbolLang() { release(); }

  [[nodiscard]] GlobalSymbol op() const { return op_; }
  [[nodiscard]] std::span<Id> children() { return {data(), arity_}; }
  [[nodiscard]] std::span<const Id> children() const { return {data(), arity_}; }
  [[nodiscard]] std::size_t arity() const { return arity_; }
  [[nodiscard]] bool is_leaf() const { return arity_ == 0; }

  // Same operator and the same number of children, whatever they are.
  [[nodiscard]] bool matches(const SymbolLang& other) const {
    return op_ == other.op_ && arity_ == other.arity_;
  }

  friend bool operator==(const SymbolLang& a, const SymbolLang& b);
  // By operator handle, then children lexicographically by id.
  friend bool operator<(const SymbolLang& a, const SymbolLang& b);

 private:
  static constexpr std::uint32_t kInlineChildren = 2;

  [[nodiscard]] bool on_heap() const { return arity_ > kInlineChildren; }
  Id* data() { return on_heap() ? heap_ : inline_; }
  const Id* data() const { return on_heap() ? heap_ : inline_; }
  void release() {
    if (on_heap()) delete[] heap_;
  }
  // Moves `other`'s operator and children here, leaving it a leaf; `this`
  // holds nothing to release.
  void take(SymbolLang& other) noexcept;

  GlobalSymbol op_;
  std::uint32_t arity_ = 0;
  union {
    Id inline_[kInlineChildren] = {};
    Id* heap_;
  };
};

struct SymbolLangHash {
  std::uint64_t operator()(const SymbolLang& node) const;
};

// A pattern variable, named by its whole text including the leading "?".
struct Var {
  GlobalSymbol symbol;
  friend constexpr auto operator<=>(Var, Var) = default;
};

// One entry of a pattern term: an operator whose children index earlier
// entries, or a variable.
using ENodeOrVar = std::variant<SymbolLang, Var>;

struct ENodeOrVarHash {
  std::uint64_t operator()(const ENodeOrVar& entry) const;
};

// A flat term: every child index refers to an earlier entry, the last entry
// is the root.
template <class Node>
struct RecExpr {
  std::vector<Node> nodes;

  // Appends an entry and returns its index.
  Id add(Node node) {
    nodes.push_back(std::move(node));
    return static_cast<Id>(nodes.size() - 1);
  }
  [[nodiscard]] const Node& root() const { return nodes.back(); }
  [[nodiscard]] Id root_index() const { return static_cast<Id>(nodes.size() - 1); }
  [[nodiscard]] std::size_t size() const { return nodes.size(); }
  friend bool operator==(const RecExpr&, const RecExpr&) = default;
};

using PatternAst = RecExpr<ENodeOrVar>;

}  // namespace zembrik::eqsat
