// The pattern matcher: a pattern term is compiled once into a `Program` of
// matcher instructions, and a `Machine` runs it against one e-class at a time,
// backtracking over class members, yielding one `Subst` per match.
//
// (f ?x (g ?y)) compiles to
//   Bind { node f(0, 0), i 0, out 1 }   // registers 1, 2 = children of f
//   Bind { node g(0), i 2, out 3 }      // register 3 = child of g
// with the template ?x -> 1, ?y -> 3.
#pragma once

#include <cstdint>
#include <span>
#include <variant>
#include <vector>

#include "eqsat/egraph.hpp"
#include "eqsat/language.hpp"
#include "eqsat/subst.hpp"

namespace zembrik::eqsat {

using Reg = std::uint32_t;

// For every member of the class in register `i` that matches `node` (same
// operator and arity; its children are all 0), write the member's children to
// registers out, out + 1, ... and go on.
struct Bind {
  SymbolLang node;
  Reg i = 0;
  Reg out = 0;
  friend bool operator==(const Bind&, const Bind&) = default;
};

// Go on only if registers `i` and `j` hold ids of the same class.
struct Compare {
  Reg i = 0;
  Reg j = 0;
  friend bool operator==(const Compare&, const Compare&) = default;
};

// An entry of a ground term: an operator whose children index earlier
// entries, or a register whose class stands in that place.
using ENodeOrReg = std::variant<SymbolLang, Reg>;

// Go on only if the ground term exists in the e-graph and lies in the class
// in register `i`; a hash-cons lookup instead of an enumeration.
struct Lookup {
  std::vector<ENodeOrReg> term;
  Reg i = 0;
  friend bool operator==(const Lookup&, const Lookup&) = default;
};

using Instruction = std::variant<Bind, Compare, Lookup>;

struct Program {
  std::vector<Instruction> instructions;
  // For each variable, in order of first binding, the register holding it.
  Subst subst;
};

// Compiles a compacted pattern term; the root is matched from register 0.
Program compile_from_pat(const PatternAst& pattern);

// Registers and the lookup buffer, reused across the members and classes of
// one search.
struct Machine {
  std::vector<Id> reg;
  std::vector<Id> lookup;
};

// At most `limit` matches of `program` in class `eclass`. The e-graph must be
// clean.
std::vector<Subst> run_with_limit(const Program& program, const EGraph& egraph, Id eclass,
                                  std::size_t limit, Machine& machine);

// The matches of one pattern in one class.
struct SearchMatches {
  Id class_id = 0;
  std::vector<Subst> substitutions;  // never empty
  const PatternAst* pattern = nullptr;
};

}  // namespace zembrik::eqsat
