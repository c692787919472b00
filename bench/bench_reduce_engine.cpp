// The reduction pipeline on a stored graph, with what the Python bench cannot
// see: how long the engine took, and for the saturation engine (the
// reference, with its default limits) why its runner stopped and after how
// many iterations. Reads a blob written by `bench_reduce.py --blob PATH` and
// reduces it against the blob's outputs in both fusion modes with each
// engine, R times each.
//
//   bench_reduce_engine PATH [R [direct|saturation]]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <variant>

#include "optimizer/direct_engine.hpp"
#include "optimizer/pipeline.hpp"
#include "optimizer/reduced_graph.hpp"
#include "optimizer/saturation_engine.hpp"
#include "serialize/blob.hpp"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Passes canonicalize through to the saturation engine and keeps how its run
// ended, or to the direct engine.
class WatchedEngine : public zembrik::RewriteEngine {
 public:
  explicit WatchedEngine(bool saturate) : saturate_(saturate) {}

  zembrik::Canonicalized canonicalize(const zembrik::EngineGraph& graph) const override {
    const Clock::time_point start = Clock::now();
    if (!saturate_) {
      zembrik::Canonicalized result = direct_.canonicalize(graph);
      seconds = seconds_since(start);
      return result;
    }
    zembrik::SaturationRun run = saturation_.run(graph);
    seconds = seconds_since(start);
    stop_reason = run.stop_reason;
    iterations = run.iterations;
    return std::move(run.result);
  }

  mutable double seconds = 0;
  mutable zembrik::eqsat::StopReason stop_reason;
  mutable std::size_t iterations = 0;

 private:
  bool saturate_;
  zembrik::DirectEngine direct_;
  zembrik::SaturationEngine saturation_;
};

const char* stop_name(const zembrik::eqsat::StopReason& reason) {
  using zembrik::eqsat::StopReason;
  if (std::holds_alternative<StopReason::Saturated>(reason.kind)) return "saturated";
  if (std::holds_alternative<StopReason::IterationLimit>(reason.kind)) return "iteration limit";
  if (std::holds_alternative<StopReason::NodeLimit>(reason.kind)) return "node limit";
  return "TIME LIMIT";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s BLOB [RUNS]\n", argv[0]);
    return 2;
  }
  std::ifstream file(argv[1], std::ios::binary);
  const std::string blob((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const int runs = argc > 2 ? std::atoi(argv[2]) : 3;
  auto loaded = zembrik::deserialize(blob);
  if (!loaded) {
    std::fprintf(stderr, "%s\n", loaded.error().message().c_str());
    return 1;
  }
  const zembrik::StoreSnapshot graph{loaded.value().arena(), loaded.value().outputs()};
  const std::size_t n = graph.arena.size();
  std::printf("graph: %zu nodes, %zu outputs\n", n, graph.outputs.size());
  const std::string only = argc > 3 ? argv[3] : "";
  for (const bool saturate : {false, true}) {
    if (!only.empty() && only != (saturate ? "saturation" : "direct")) continue;
    for (const bool maximal : {false, true}) {
      double best = 1e300;
      double engine_best = 1e300;
      WatchedEngine engine(saturate);
      zembrik::ReductionReport report;
      for (int r = 0; r < runs; ++r) {
        const Clock::time_point start = Clock::now();
        report = zembrik::reduce_with(graph, engine, maximal).report;
        best = std::min(best, seconds_since(start));
        engine_best = std::min(engine_best, engine.seconds);
      }
      std::printf(
          "%-11s %-22s %7.3f s  %6.0f ns/node  engine %7.3f s (%4.1f%%); canonical %llu of "
          "%llu reachable",
          saturate ? "saturation" : "direct",
          maximal ? "reduce_with(maximal):" : "reduce_with:", best, best / n * 1e9, engine_best,
          100 * engine_best / best, static_cast<unsigned long long>(report.canonical_nodes),
          static_cast<unsigned long long>(report.reachable_nodes));
      if (saturate) {
        std::printf(", stopped by %s after %zu iterations", stop_name(engine.stop_reason),
                    engine.iterations);
      }
      std::printf("\n");
    }
  }
  return 0;
}
