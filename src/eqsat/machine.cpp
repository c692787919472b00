#include "eqsat/machine.hpp"

#include <algorithm>
#include <cassert>
#include <iterator>
#include <tuple>

#include "base/failure.hpp"

namespace zembrik::eqsat {
namespace {

class Compiler {
 public:
  explicit Compiler(const PatternAst& pattern) : pattern_(pattern) {
    assert(pattern.size() > 0 && "a pattern has at least one entry");
    for (const ENodeOrVar& entry : pattern.nodes) measure(entry);
  }

  Program compile() && {
    schedule(pattern_.root_index(), 0);
    while (!open_nodes_.empty()) emit(take_best_open_node());
    Program program{std::move(instructions_), {}};
    for (const auto& [var, reg] : var_regs_) program.subst.insert(var, reg);
    return program;
  }

 private:
  struct OpenNode {
    Id entry;
    Reg reg;
  };

  // Free variables (sorted) and operator count of the subterm of each entry.
  void measure(const ENodeOrVar& entry) {
    if (const Var* var = std::get_if<Var>(&entry)) {
      free_vars_.push_back({*var});
      subtree_size_.push_back(0);
      return;
    }
    std::vector<Var> vars;
    std::size_t size = 1;
    for (const Id child : std::get<SymbolLang>(entry).children()) {
      std::vector<Var> merged;
      std::set_union(vars.begin(), vars.end(), free_vars_[child].begin(), free_vars_[child].end(),
                     std::back_inserter(merged));
      vars = std::move(merged);
      size += subtree_size_[child];
    }
    free_vars_.push_back(std::move(vars));
    subtree_size_.push_back(size);
  }

  const Reg* reg_of(Var var) const {
    for (const auto& [bound, reg] : var_regs_) {
      if (bound == var) return &reg;
    }
    return nullptr;
  }

  std::size_t unbound_count(Id entry) const {
    return std::count_if(free_vars_[entry].begin(), free_vars_[entry].end(),
                         [&](Var var) { return reg_of(var) == nullptr; });
  }

  void schedule(Id entry, Reg reg) {
    if (const Var* var = std::get_if<Var>(&pattern_.nodes[entry])) {
      if (const Reg* bound = reg_of(*var)) {
        instructions_.emplace_back(Compare{reg, *bound});
      } else {
        var_regs_.emplace_back(*var, reg);
      }
      return;
    }
    open_nodes_.push_back(OpenNode{entry, reg});
  }

  // Fully bound subterms first, then those with more unbound variables, then
  // smaller ones. Ties go to the node scheduled first, so the program depends
  // on the pattern alone.
  OpenNode take_best_open_node() {
    auto key = [&](const OpenNode& open) {
      const std::size_t unbound = unbound_count(open.entry);
      return std::make_tuple(unbound == 0, unbound,
                             -static_cast<std::ptrdiff_t>(subtree_size_[open.entry]));
    };
    auto best = open_nodes_.begin();
    for (auto it = std::next(best); it != open_nodes_.end(); ++it) {
      if (key(*best) < key(*it)) best = it;
    }
    const OpenNode open = *best;
    open_nodes_.erase(best);
    return open;
  }

  void emit(OpenNode open) {
    const auto& node = std::get<SymbolLang>(pattern_.nodes[open.entry]);
    if (unbound_count(open.entry) == 0 && !node.is_leaf()) {
      Lookup lookup{{}, open.reg};
      std::vector<std::optional<Id>> term_index(pattern_.size());
      append_ground_term(open.entry, lookup.term, term_index);
      instructions_.push_back(std::move(lookup));
      return;
    }
    const Reg out = next_reg_;
    next_reg_ += static_cast<Reg>(node.arity());
    instructions_.push_back(Bind{SymbolLang(node.op(), node.arity()), open.reg, out});
    for (std::size_t k = 0; k < node.arity(); ++k) {
      schedule(node.children()[k], out + static_cast<Reg>(k));
    }
  }

  // Copies the subterm of `entry` with its variables replaced by their
  // registers. The pattern is compacted, so sharing entries by pattern index
  // keeps the copy compacted as well.
  Id append_ground_term(Id entry, std::vector<ENodeOrReg>& term,
                        std::vector<std::optional<Id>>& term_index) {
    if (term_index[entry]) return *term_index[entry];
    if (const Var* var = std::get_if<Var>(&pattern_.nodes[entry])) {
      term.emplace_back(*reg_of(*var));
    } else {
      SymbolLang node = std::get<SymbolLang>(pattern_.nodes[entry]);
      for (Id& child : node.children()) child = append_ground_term(child, term, term_index);
      term.emplace_back(std::move(node));
    }
    term_index[entry] = static_cast<Id>(term.size() - 1);
    return *term_index[entry];
  }

  const PatternAst& pattern_;
  std::vector<std::vector<Var>> free_vars_;
  std::vector<std::size_t> subtree_size_;
  std::vector<std::pair<Var, Reg>> var_regs_;  // in order of first binding
  std::vector<OpenNode> open_nodes_;
  std::vector<Instruction> instructions_;
  Reg next_reg_ = 1;
};

class Execution {
 public:
  Execution(const Program& program, const EGraph& egraph, std::size_t limit, Machine& machine)
      : program_(program), egraph_(egraph), machine_(machine), remaining_(limit) {}

  // Runs the instructions from `pc` on; false once the limit is reached,
  // which ends the whole run.
  bool execute(std::size_t pc) {
    std::vector<Id>& reg = machine_.reg;
    for (; pc < program_.instructions.size(); ++pc) {
      const Instruction& instruction = program_.instructions[pc];
      if (const auto* bind = std::get_if<Bind>(&instruction)) {
        const auto& members = egraph_[reg[bind->i]].members;
        // Members are sorted by operator first.
        auto member =
            std::lower_bound(members.begin(), members.end(), bind->node.op(),
                             [](const SymbolLang& m, GlobalSymbol op) { return m.op() < op; });
        for (; member != members.end() && member->op() == bind->node.op(); ++member) {
          if (!member->matches(bind->node)) continue;
          reg.resize(bind->out);
          reg.insert(reg.end(), member->children().begin(), member->children().end());
          if (!execute(pc + 1)) return false;
        }
        return true;
      }
      if (const auto* compare = std::get_if<Compare>(&instruction)) {
        if (egraph_.find(reg[compare->i]) != egraph_.find(reg[compare->j])) return true;
        continue;
      }
      if (!ground_term_in_class(std::get<Lookup>(instruction))) return true;
    }
    Subst subst;
    for (std::size_t k = 0; k < program_.subst.size(); ++k) {
      const auto& [var, reg_number] = program_.subst.at(k);
      subst.insert(var, reg[reg_number]);
    }
    matches_.push_back(std::move(subst));
    return --remaining_ != 0;
  }

  std::vector<Subst> take_matches() { return std::move(matches_); }

 private:
  bool ground_term_in_class(const Lookup& lookup) {
    std::vector<Id>& values = machine_.lookup;
    values.clear();
    for (const ENodeOrReg& entry : lookup.term) {
      if (const Reg* reg = std::get_if<Reg>(&entry)) {
        values.push_back(egraph_.find(machine_.reg[*reg]));
        continue;
      }
      SymbolLang node = std::get<SymbolLang>(entry);
      for (Id& child : node.children()) child = values[child];
      const std::optional<Id> found = egraph_.lookup(std::move(node));
      if (!found) return false;
      values.push_back(*found);
    }
    return values.back() == egraph_.find(machine_.reg[lookup.i]);
  }

  const Program& program_;
  const EGraph& egraph_;
  Machine& machine_;
  std::size_t remaining_;
  std::vector<Subst> matches_;
};

}  // namespace

Program compile_from_pat(const PatternAst& pattern) {
  return Compiler(pattern).compile();
}

std::vector<Subst> run_with_limit(const Program& program, const EGraph& egraph, Id eclass,
                                  std::size_t limit, Machine& machine) {
  if (!egraph.is_clean()) fail("Tried to search a dirty e-graph!");
  if (limit == 0) return {};
  machine.reg.assign(1, eclass);
  Execution execution(program, egraph, limit, machine);
  execution.execute(0);
  return execution.take_matches();
}

}  // namespace zembrik::eqsat
