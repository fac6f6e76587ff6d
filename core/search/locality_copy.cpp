#include "core/search/locality_copy.hpp"

#include <algorithm>
#include <utility>

#include "core/error.hpp"
#include "core/parallel.hpp"

namespace velnor {

std::vector<std::uint32_t> locality_order(const Graph& graph) {
  const std::uint64_t n = graph.size();
  std::vector<std::uint32_t> order;
  order.reserve(n);
  std::vector<std::uint8_t> seen(n, 0);
  auto visit_from = [&](std::uint32_t start) {
    if (seen[start]) return;
    seen[start] = 1;
    order.push_back(start);
    for (std::size_t head = order.size() - 1; head < order.size(); ++head) {
      const std::uint32_t node = order[head];
      for (const std::uint32_t v : graph.neighbors_of(node)) {
        VELNOR_ASSERT(v < n, "neighbour id out of range");
        if (!seen[v]) {
          seen[v] = 1;
          order.push_back(v);
        }
      }
    }
  };
  if (n > 0) visit_from(graph.medoid < n ? graph.medoid : 0);
  for (std::uint64_t i = 0; i < n; ++i) visit_from(static_cast<std::uint32_t>(i));
  return order;
}

namespace {

std::vector<std::uint32_t> inverse(const std::vector<std::uint32_t>& order) {
  std::vector<std::uint32_t> rank(order.size());
  for (std::size_t t = 0; t < order.size(); ++t) rank[order[t]] = static_cast<std::uint32_t>(t);
  return rank;
}

std::vector<float> rows_in_order(const Dataset& dataset, const std::vector<std::uint32_t>& order) {
  const std::uint64_t d = dataset.d();
  std::vector<float> rows(order.size() * d);
  parallel_for(order.size(), [&](std::size_t t) {
    std::copy_n(dataset.data() + std::uint64_t{order[t]} * d, d, rows.data() + t * d);
  });
  return rows;
}

Graph graph_in_order(const Graph& graph, const std::vector<std::uint32_t>& order,
                     const std::vector<std::uint32_t>& rank) {
  std::vector<std::uint64_t> offsets(order.size() + 1, 0);
  for (std::size_t t = 0; t < order.size(); ++t) {
    offsets[t + 1] = offsets[t] + graph.neighbors_of(order[t]).size();
  }
  Graph copy;
  copy.offsets = std::move(offsets);
  copy.neighbors.resize(graph.neighbors.size());
  parallel_for(order.size(), [&](std::size_t t) {
    std::uint32_t* out = copy.neighbors.data() + copy.offsets[t];
    for (const std::uint32_t v : graph.neighbors_of(order[t])) *out++ = rank[v];
  });
  copy.medoid = graph.size() > 0 && graph.medoid < graph.size() ? rank[graph.medoid] : 0;
  return copy;
}

std::vector<std::uint32_t> checked_order(const Dataset& dataset, const Graph& graph,
                                         const std::vector<std::uint32_t>* given) {
  VELNOR_ASSERT(graph.size() == dataset.n(), "graph and dataset sizes differ");
  if (given == nullptr) return locality_order(graph);
  VELNOR_ASSERT(given->size() == dataset.n(), "locality order must hold every node once");
  std::vector<std::uint8_t> seen(given->size(), 0);
  for (const std::uint32_t id : *given) {
    VELNOR_ASSERT(id < given->size() && !seen[id], "locality order must hold every node once");
    seen[id] = 1;
  }
  return *given;
}

}  // namespace

LocalityCopy::LocalityCopy(const Dataset& dataset, const Graph& graph,
                           const std::vector<std::uint32_t>* order)
    : order_(checked_order(dataset, graph, order)),
      rank_(inverse(order_)),
      rows_(rows_in_order(dataset, order_)),
      dataset_(rows_, dataset.n(), dataset.d(), Metric::L2),
      graph_(graph_in_order(graph, order_, rank_)) {}

}  // namespace velnor
