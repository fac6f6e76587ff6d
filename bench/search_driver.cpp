// Times the query drivers on Fashion-MNIST: 60,000 training rows as the base,
// the 10,000 test rows as held-out queries, a graph from the build pipeline
// (default parameters, cached under build/bench/ between runs).
//
//   * split of one external query's time (1 worker) between the pivot scan
//     and the beam search: SearchIndex::query in full, against beam_search
//     alone from the same kind of seeds;
//   * SearchIndex::query over a beam_l sweep: queries per second and recall@10;
//   * self-kNN by each query mode: time and recall@10 on 2,000 sampled rows.
//
// A returned neighbour is a hit when its distance is within the exact k-th
// distance of its row (so ties count for the search).
// Usage: search_driver [--threads T] [--modes] [--sweep L1,L2,...]
#include <cblas.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <numeric>
#include <sstream>
#include <string>
#include <vector>

#include "core/batch_query.hpp"
#include "core/search/pivots.hpp"
#include "core/build.hpp"
#include "core/distance.hpp"
#include "core/parallel.hpp"
#include "core/search/beam_search.hpp"
#include "core/search/search_index.hpp"

using namespace velnor;

namespace {

constexpr std::size_t kDim = 784;
constexpr std::uint64_t kK = 10;

double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// CPU seconds of this thread, or of all threads of the process: on a shared
// machine these stay close to the work done where wall time does not.
double cpu_seconds(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}
double thread_cpu() { return cpu_seconds(CLOCK_THREAD_CPUTIME_ID); }
double process_cpu() { return cpu_seconds(CLOCK_PROCESS_CPUTIME_ID); }

std::vector<float> load_idx(const char* name, std::size_t rows) {
  const std::string path = std::string("/usr/share/datasets/fashion-mnist/") + name;
  FILE* pipe = popen(("gzip -dc " + path).c_str(), "r");
  if (!pipe) return {};
  unsigned char header[16];
  std::vector<unsigned char> pixels(rows * kDim);
  const bool ok = std::fread(header, 1, 16, pipe) == 16 &&
                  std::fread(pixels.data(), 1, pixels.size(), pipe) == pixels.size();
  pclose(pipe);
  if (!ok) return {};
  return std::vector<float>(pixels.begin(), pixels.end());
}

template <class T>
bool read_vec(std::ifstream& in, std::vector<T>& v) {
  std::uint64_t size = 0;
  if (!in.read(reinterpret_cast<char*>(&size), sizeof size)) return false;
  v.resize(size);
  return static_cast<bool>(in.read(reinterpret_cast<char*>(v.data()), size * sizeof(T)));
}

template <class T>
void write_vec(std::ofstream& out, const std::vector<T>& v) {
  const std::uint64_t size = v.size();
  out.write(reinterpret_cast<const char*>(&size), sizeof size);
  out.write(reinterpret_cast<const char*>(v.data()), size * sizeof(T));
}

// The default build, or its cached copy. Candidate lists are not cached.
Graph cached_graph(const Dataset& ds, const std::string& path, double& build_s) {
  std::ifstream in(path, std::ios::binary);
  Graph g;
  if (in && read_vec(in, g.offsets) && read_vec(in, g.neighbors) &&
      in.read(reinterpret_cast<char*>(&g.medoid), sizeof g.medoid)) {
    build_s = -1;
    return g;
  }
  const double t0 = now();
  BuildResult built = build_index_with_cands(ds, BuildParams{}, 0);
  build_s = now() - t0;
  std::ofstream out(path, std::ios::binary);
  write_vec(out, built.graph.offsets);
  write_vec(out, built.graph.neighbors);
  out.write(reinterpret_cast<const char*>(&built.graph.medoid), sizeof built.graph.medoid);
  return std::move(built.graph);
}

// Exact k-th squared distance of each query among the base rows (excluding
// base row `exclude[q]` when given): a GEMM shortlist of 64, re-ranked by sq_l2.
std::vector<float> exact_kth(const Dataset& ds, const float* queries, std::uint64_t n_q,
                             const std::vector<std::uint32_t>* exclude) {
  const std::uint64_t n = ds.n(), d = ds.d(), block = 128, shortlist = 64;
  std::vector<float> kth(n_q);
  scipy_openblas_set_num_threads(1);
  parallel_for(
      (n_q + block - 1) / block,
      [&] { return std::make_pair(std::vector<float>(block * n), std::vector<std::pair<float, std::uint32_t>>(n)); },
      [&](auto& st, std::size_t b) {
        const std::uint64_t q0 = b * block, rows = std::min(block, n_q - q0);
        scipy_cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, rows, n, d, 1.0f, queries + q0 * d, d,
                          ds.data(), d, 0.0f, st.first.data(), n);
        for (std::uint64_t r = 0; r < rows; ++r) {
          const std::uint64_t q = q0 + r;
          auto& all = st.second;
          for (std::uint64_t j = 0; j < n; ++j) all[j] = {ds.norms()[j] - 2.0f * st.first[r * n + j], (std::uint32_t)j};
          std::nth_element(all.begin(), all.begin() + shortlist, all.end());
          std::vector<float> exact;
          for (std::uint64_t s = 0; s < shortlist; ++s) {
            if (exclude && all[s].second == (*exclude)[q]) continue;
            exact.push_back(sq_l2(queries + q * d, ds.row(all[s].second), d));
          }
          std::sort(exact.begin(), exact.end());
          kth[q] = exact[kK - 1];
        }
      });
  return kth;
}

double recall_of(const KnnResult& r, const Dataset& ds, const float* queries,
                 const std::vector<std::uint32_t>& rows, const std::vector<float>& kth,
                 std::uint64_t skip) {
  std::uint64_t hits = 0, total = 0;
  for (std::size_t s = 0; s < rows.size(); ++s) {
    const std::uint64_t q = rows[s];
    for (std::uint64_t m = skip; m < r.stride; ++m) {
      const float dist = sq_l2(queries + q * ds.d(), ds.row(r.indices[q * r.stride + m]), ds.d());
      hits += dist <= kth[s];
      ++total;
    }
  }
  return double(hits) / double(total);
}

// Per-query seconds of the beam searches alone, one worker: from the 16
// nearest pivots (found outside the clock), queries in the order the index
// runs them (by nearest pivot), over the index's rows and graph.
double beam_only_seconds(const Dataset& ds, const SearchIndex& index,
                         const std::vector<float>& queries, std::uint64_t n_q,
                         std::uint64_t beam_l) {
  const std::uint64_t n = ds.n(), d = ds.d();
  const std::uint64_t L = std::max(kK, beam_l);
  const PivotPlan plan = pivot_plan(n, L);
  std::vector<std::vector<std::uint32_t>> seeds(n_q);
  std::vector<std::pair<std::uint32_t, std::uint32_t>> order(n_q);
  std::vector<std::pair<float, std::uint32_t>> ranked(plan.count);
  for (std::uint64_t q = 0; q < n_q; ++q) {
    for (std::uint64_t p = 0; p < plan.count; ++p) {
      const auto row = static_cast<std::uint32_t>(p * plan.step);
      ranked[p] = {sq_l2(queries.data() + q * d, ds.row(row), d), row};
    }
    std::partial_sort(ranked.begin(), ranked.begin() + plan.seeds, ranked.end());
    for (std::uint64_t s = 0; s < plan.seeds; ++s) seeds[q].push_back(index.node_of(ranked[s].second));
    order[q] = {ranked[0].second, static_cast<std::uint32_t>(q)};
  }
  std::sort(order.begin(), order.end());
  Scratch scratch(n);
  const double t0 = thread_cpu();
  for (const auto& [pivot, q] : order) {
    const auto found = beam_search(index.view(), seeds[q], queries.data() + q * d, L, scratch);
    if (found.empty()) std::abort();
  }
  return (thread_cpu() - t0) / double(n_q);
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t threads = 2;
  bool modes = false;
  std::vector<std::uint64_t> sweep = {10, 16, 24, 32, 48, 64, 96, 128, 192};
  for (int a = 1; a < argc; ++a) {
    const std::string arg = argv[a];
    if (arg == "--threads") {
      threads = std::stoul(argv[++a]);
    } else if (arg == "--modes") {
      modes = true;
    } else if (arg == "--sweep") {
      sweep.clear();
      std::stringstream list(argv[++a]);
      for (std::string item; std::getline(list, item, ',');) sweep.push_back(std::stoull(item));
    } else {
      std::fprintf(stderr, "unknown argument %s\n", arg.c_str());
      return 2;
    }
  }
  const std::uint64_t n = 60000, n_q = 10000;
  const std::vector<float> base = load_idx("train-images-idx3-ubyte.gz", n);
  const std::vector<float> queries = load_idx("t10k-images-idx3-ubyte.gz", n_q);
  if (base.empty() || queries.empty()) {
    std::fprintf(stderr, "could not load Fashion-MNIST\n");
    return 1;
  }
  PoolScope pool(Pool::with_threads(threads));
  const Dataset ds(base, n, kDim, Metric::L2);
  double build_s = 0;
  const Graph graph = cached_graph(ds, "build/bench/search_driver_graph.bin", build_s);
  std::printf("data %llux%zu, %llu queries, %zu workers; build %s\n", (unsigned long long)n, kDim,
              (unsigned long long)n_q, current_pool_threads(),
              build_s < 0 ? "cached" : (std::to_string(build_s) + " s").c_str());

  const SearchIndex index(ds, graph, locality_order(graph));
  std::vector<std::uint32_t> all_queries(n_q);
  std::iota(all_queries.begin(), all_queries.end(), 0u);
  const std::vector<float> query_kth = exact_kth(ds, queries.data(), n_q, nullptr);

  // Split of one query's time, one worker.
  for (const std::uint64_t split_l : {std::uint64_t{10}, std::uint64_t{64}}) {
    const std::uint64_t split_q = n_q;
    PoolScope one(Pool::with_threads(1));
    const std::span<const float> first(queries.data(), split_q * kDim);
    // Best of two alternating rounds, in thread CPU time.
    double total = 1e9, beam = 1e9;
    for (int round = 0; round < 2; ++round) {
      const double t0 = thread_cpu();
      index.query(first, split_q, kK, split_l);
      total = std::min(total, (thread_cpu() - t0) / split_q);
      beam = std::min(beam, beam_only_seconds(ds, index, queries, split_q, split_l));
    }
    std::printf("one worker, beam_l=%llu, %llu pivots: query %.1f us/query, beam search alone %.1f us, "
                "pivot scan and seed choice %.1f us (%.0f%%)\n",
                (unsigned long long)split_l, (unsigned long long)pivot_plan(n, split_l).count, total * 1e6,
                beam * 1e6, (total - beam) * 1e6, 100.0 * (total - beam) / total);
  }

  // QPS by wall time, and by CPU time spread over the workers (what the
  // workers would deliver unshared).
  std::printf("held-out queries, %zu workers:\n  beam_l  recall@10  QPS(wall)  QPS(cpu)\n",
              current_pool_threads());
  for (const std::uint64_t beam_l : sweep) {
    const double t0 = now(), c0 = process_cpu();
    const KnnResult r = index.query(queries, n_q, kK, beam_l);
    const double s = now() - t0, c = (process_cpu() - c0) / double(current_pool_threads());
    std::printf("  %6llu  %9.4f  %9.0f  %8.0f\n", (unsigned long long)beam_l,
                recall_of(r, ds, queries.data(), all_queries, query_kth, 0), n_q / s, n_q / c);
  }

  // Self-kNN on every row, recall on 2,000 of them.
  std::vector<std::uint32_t> sample(2000);
  for (std::size_t s = 0; s < sample.size(); ++s) sample[s] = static_cast<std::uint32_t>(s * (n / sample.size()));
  std::vector<float> sample_rows;
  for (const auto i : sample) sample_rows.insert(sample_rows.end(), ds.row(i), ds.row(i) + kDim);
  const std::vector<float> self_kth = exact_kth(ds, sample_rows.data(), sample.size(), &sample);
  auto self_recall = [&](const KnnResult& r) {
    KnnResult picked;
    picked.stride = r.stride;
    for (const auto i : sample) {
      picked.indices.insert(picked.indices.end(), r.indices.begin() + i * r.stride,
                            r.indices.begin() + (i + 1) * r.stride);
    }
    std::vector<std::uint32_t> rows(sample.size());
    std::iota(rows.begin(), rows.end(), 0u);
    return recall_of(picked, ds, sample_rows.data(), rows, self_kth, 1);
  };
  {
    const double t0 = now(), c0 = process_cpu();
    const KnnResult r = knn_self_graph(ds, graph, nullptr, kK, 64);
    std::printf("self-kNN beam (beam_l=64): %.3f s wall, %.3f s cpu, recall@10 %.4f\n", now() - t0,
                process_cpu() - c0, self_recall(r));
  }
  if (modes) {
    const double t0 = now();
    const BuildResult built = build_index_with_cands(ds, BuildParams{}, 32);
    std::printf("build with 32 kept candidates: %.3f s\n", now() - t0);
    double t1 = now();
    const KnnResult warm = knn_self_graph(ds, built.graph, &built.candidates, kK, 64);
    std::printf("self-kNN warm (beam_l=64): %.3f s, recall@10 %.4f\n", now() - t1, self_recall(warm));
    t1 = now();
    const KnnResult res = knn_self_reservoir(ds, built.graph, built.candidates, kK, true);
    std::printf("self-kNN reservoir: %.3f s, recall@10 %.4f\n", now() - t1, self_recall(res));
  }
  return 0;
}
