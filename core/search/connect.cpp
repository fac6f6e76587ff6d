#include "core/search/connect.hpp"

#include <algorithm>
#include <numeric>
#include <vector>

#include "core/parallel.hpp"
#include "core/search/beam_search.hpp"

namespace velnor {

namespace {

std::uint32_t root(std::vector<std::uint32_t>& parent, std::uint32_t a) {
  while (parent[a] != a) {
    parent[a] = parent[parent[a]];
    a = parent[a];
  }
  return a;
}

// Nodes the medoid reaches along directed edges.
std::vector<std::uint8_t> reached_from(const Graph& graph, std::uint32_t start) {
  std::vector<std::uint8_t> reached(graph.size(), 0);
  std::vector<std::uint32_t> stack{start};
  reached[start] = 1;
  while (!stack.empty()) {
    const std::uint32_t v = stack.back();
    stack.pop_back();
    for (const std::uint32_t u : graph.neighbors_of(v)) {
      if (!reached[u]) {
        reached[u] = 1;
        stack.push_back(u);
      }
    }
  }
  return reached;
}

struct Link {
  std::uint32_t from, to;
};

// For each target, the nearest node a search from the medoid finds for its
// row (a node the medoid reaches), as a link from that node to the target.
std::vector<Link> links_to(const Dataset& dataset, const Graph& graph,
                           const std::vector<std::uint32_t>& targets, std::uint64_t beam) {
  std::vector<Link> links(targets.size(), Link{graph.medoid, 0});
  const std::uint32_t seed[1] = {graph.medoid};
  parallel_for(
      targets.size(), [&] { return Scratch(dataset.n()); },
      [&](Scratch& scratch, std::size_t t) {
        const std::uint32_t target = targets[t];
        const std::vector<Candidate> found =
            beam_search(dataset, graph, seed, dataset.row(target), beam, scratch);
        links[t] = Link{found.empty() ? graph.medoid : found.front().id, target};
      });
  return links;
}

Graph with_links(const Graph& graph, std::vector<Link> links) {
  std::sort(links.begin(), links.end(),
            [](const Link& a, const Link& b) { return a.from < b.from || (a.from == b.from && a.to < b.to); });
  const std::uint64_t n = graph.size();
  Graph out;
  out.medoid = graph.medoid;
  out.offsets.assign(n + 1, 0);
  out.neighbors.reserve(graph.neighbors.size() + links.size());
  std::size_t l = 0;
  for (std::uint64_t v = 0; v < n; ++v) {
    const auto list = graph.neighbors_of(v);
    out.neighbors.insert(out.neighbors.end(), list.begin(), list.end());
    for (; l < links.size() && links[l].from == v; ++l)
      if (std::find(list.begin(), list.end(), links[l].to) == list.end())
        out.neighbors.push_back(links[l].to);
    out.offsets[v + 1] = out.neighbors.size();
  }
  return out;
}

}  // namespace

Graph connect_from_medoid(const Dataset& dataset, Graph graph, std::uint64_t beam,
                          ConnectReport* report) {
  const std::uint64_t n = graph.size();
  if (n < 2) return graph;

  // Pieces of the undirected graph: each gets two-way links to its first
  // node from the piece of the medoid.
  std::vector<std::uint32_t> parent(n);
  std::iota(parent.begin(), parent.end(), 0u);
  for (std::uint64_t v = 0; v < n; ++v)
    for (const std::uint32_t u : graph.neighbors_of(v)) {
      const std::uint32_t a = root(parent, static_cast<std::uint32_t>(v)), b = root(parent, u);
      if (a != b) parent[std::max(a, b)] = std::min(a, b);
    }
  const std::uint32_t home = root(parent, graph.medoid);
  std::vector<std::uint32_t> firsts;
  std::vector<std::uint8_t> seen(n, 0);
  std::uint64_t pieces = 0;
  for (std::uint64_t v = 0; v < n; ++v) {
    const std::uint32_t r = root(parent, static_cast<std::uint32_t>(v));
    if (seen[r]) continue;
    seen[r] = 1;
    ++pieces;
    if (r != home) firsts.push_back(static_cast<std::uint32_t>(v));
  }
  if (!firsts.empty()) {
    std::vector<Link> links = links_to(dataset, graph, firsts, beam);
    const std::size_t one_way = links.size();
    for (std::size_t t = 0; t < one_way; ++t) links.push_back(Link{links[t].to, links[t].from});
    graph = with_links(graph, std::move(links));
  }

  // Nodes still out of reach along directed edges: one link in each.
  const std::vector<std::uint8_t> reached = reached_from(graph, graph.medoid);
  std::vector<std::uint32_t> unreached;
  for (std::uint64_t v = 0; v < n; ++v)
    if (!reached[v]) unreached.push_back(static_cast<std::uint32_t>(v));
  if (!unreached.empty()) graph = with_links(graph, links_to(dataset, graph, unreached, beam));
  if (report != nullptr) *report = ConnectReport{pieces, unreached.size()};
  return graph;
}

}  // namespace velnor
