#include "core/graph.hpp"

namespace velnor {

Graph Graph::from_adjacency(std::vector<std::vector<std::uint32_t>> lists,
                            std::uint32_t medoid) {
  Graph graph;
  graph.offsets.reserve(lists.size() + 1);
  for (auto& list : lists) {
    graph.neighbors.insert(graph.neighbors.end(), list.begin(), list.end());
    graph.offsets.push_back(graph.neighbors.size());
    std::vector<std::uint32_t>().swap(list);
  }
  graph.medoid = medoid;
  return graph;
}

}  // namespace velnor
