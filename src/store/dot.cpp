#include "store/dot.hpp"

#include <algorithm>
#include <charconv>
#include <vector>

#include "base/interrupt.hpp"
#include "ir/token.hpp"

namespace zembrik {
namespace {

void append_id(std::string& out, NodeId id) {
  char digits[20];
  const auto result = std::to_chars(digits, digits + sizeof digits, id);
  out.append(digits, result.ptr);
}

// Backslashes are doubled first, so the backslash a quote then gets stays
// single: a\" becomes a\\\".
void append_escaped(std::string& out, std::string_view label) {
  for (std::size_t at = 0; at < label.size();) {
    const std::size_t special = std::min(label.find_first_of("\\\"", at), label.size());
    out.append(label, at, special - at);
    if (special == label.size()) break;
    out += '\\';
    out += label[special];
    at = special + 1;
  }
}

}  // namespace

std::string render_dot(const NodeArena& arena, std::span<const NodeId> outputs) {
  std::vector<bool> marked(arena.size());
  for (NodeId id : outputs) marked[id] = true;

  // Room for typical lines up front saves copying the text as it grows.
  std::string out = "digraph zembrik {\n";
  out.reserve(arena.byte_size() + 72 * arena.size());
  std::vector<std::pair<NodeId, NodeId>> edges;  // (producer, consumer), in edge-line order
  std::string text;                              // one label, its room reused
  InterruptPoints points;
  for (NodeId id = 0; id < arena.size(); ++id) {
    points.tick();
    const NodeKey key = arena.key(id);
    out += "  n";
    append_id(out, id);
    out += " [label=\"";
    text.clear();
    append_label(text, key);
    append_escaped(out, text);
    out += marked[id] ? "\", shape=doublecircle];\n" : "\"];\n";
    for (NodeId input : inputs_of(key)) edges.emplace_back(input, id);
  }
  for (const auto& [input, id] : edges) {
    out += "  n";
    append_id(out, input);
    out += " -> n";
    append_id(out, id);
    out += ";\n";
  }
  out += "}\n";
  return out;
}

std::string to_dot(const Graph& graph) {
  return render_dot(graph.arena(), graph.outputs());
}

}  // namespace zembrik
