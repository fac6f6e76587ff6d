// Times the partition-and-prune build on Fashion-MNIST (or a synthetic
// Gaussian set), checks the graph's invariants, and measures:
//   * the stage times (run with VELNOR_PROFILE= to print them),
//   * the share of each node's exact 10 nearest neighbours found in its
//     reservoir read-out (1,000 sampled rows),
//   * the leaf products' single-thread throughput against a 2048 x 784 Gram
//     product (--gemm),
//   * peak resident memory beyond the input,
//   * the cost of the required work alone (--floor): partitioning, the leaf
//     products, and one exact distance between cached rows.
// Usage: build_driver [--rows N] [--synthetic N D] [--threads T] [--runs R]
//                     [--gemm] [--recall] [--floor]
#include <cblas.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <numeric>
#include <string>
#include <vector>

#include "core/blas.hpp"
#include "core/build.hpp"
#include "core/distance.hpp"
#include "core/leaf/gemm.hpp"
#include "core/parallel.hpp"
#include "core/partition/ball_carving.hpp"
#include "core/rng.hpp"

using namespace velnor;

namespace {

double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::vector<float> load_fashion(std::size_t rows) {
  const char* path = "/usr/share/datasets/fashion-mnist/train-images-idx3-ubyte.gz";
  FILE* pipe = popen((std::string("gzip -dc ") + path).c_str(), "r");
  if (!pipe) return {};
  unsigned char header[16];
  std::vector<unsigned char> pixels(rows * 784);
  const bool ok = std::fread(header, 1, 16, pipe) == 16 &&
                  std::fread(pixels.data(), 1, pixels.size(), pipe) == pixels.size();
  pclose(pipe);
  if (!ok) return {};
  return std::vector<float>(pixels.begin(), pixels.end());
}

std::vector<float> gaussian(std::size_t n, std::size_t d) {
  std::vector<float> x(n * d);
  ChaCha8 rng(7);
  for (auto& v : x) v = rng.uniform_f32() + rng.uniform_f32() + rng.uniform_f32() - 1.5f;
  return x;
}

long rss_kib() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return 0;
}

long peak_rss_kib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

void check_invariants(const Graph& g, std::uint64_t n, std::uint64_t r) {
  std::uint64_t bad = 0, edges = 0, max_deg = 0;
  std::vector<std::uint32_t> list;
  for (std::uint64_t i = 0; i < n; ++i) {
    auto nb = g.neighbors_of(i);
    list.assign(nb.begin(), nb.end());
    edges += list.size();
    max_deg = std::max<std::uint64_t>(max_deg, list.size());
    std::sort(list.begin(), list.end());
    if (list.size() > r || std::adjacent_find(list.begin(), list.end()) != list.end()) ++bad;
    for (auto j : list)
      if (j >= n || j == i) ++bad;
  }
  std::printf("graph: n=%llu edges=%llu avg_deg=%.1f max_deg=%llu invariant_violations=%llu medoid=%u\n",
              (unsigned long long)n, (unsigned long long)edges, double(edges) / n,
              (unsigned long long)max_deg, (unsigned long long)bad, g.medoid);
}

// Share of the exact 10 nearest neighbours of sampled rows found in their
// candidate lists (a hit when the found distance is within the 10th exact one).
void reservoir_recall(const Dataset& ds, const BuildResult& built) {
  const std::uint64_t n = ds.n(), d = ds.d(), samples = std::min<std::uint64_t>(1000, n);
  std::uint64_t hits = 0, total = 0, graph_hits = 0;
  std::vector<std::pair<float, std::uint32_t>> all(n);
  for (std::uint64_t s = 0; s < samples; ++s) {
    const std::uint64_t i = s * (n / samples);
    for (std::uint64_t j = 0; j < n; ++j) all[j] = {sq_l2(ds.row(i), ds.row(j), d), (std::uint32_t)j};
    all[i].first = 1e30f;
    std::partial_sort(all.begin(), all.begin() + 10, all.end());
    for (int t = 0; t < 10; ++t) {
      const auto id = all[t].second;
      ++total;
      for (const auto& c : built.candidates[i]) if (c.id == id) { ++hits; break; }
      for (auto nb : built.graph.neighbors_of(i)) if (nb == id) { ++graph_hits; break; }
    }
  }
  std::printf("exact 10-NN found in reservoir read-out: %.3f, in graph out-list: %.3f (%llu rows)\n",
              double(hits) / total, double(graph_hits) / total, (unsigned long long)samples);
}

// Single-thread throughput of the leaf products of one partition run against
// a 2048 x 784 Gram product.
void gemm_throughput(const Dataset& ds, const BuildParams& params) {
  PoolScope one(Pool::with_threads(1));
  scipy_openblas_set_num_threads(1);
  const std::uint64_t d = ds.d();
  auto time_syrk = [&](std::uint64_t s, const float* x, std::vector<float>& g) {
    const double t0 = now();
    scipy_cblas_ssyrk(CblasRowMajor, CblasUpper, CblasNoTrans, s, d, 1.0f, x, d, 0.0f, g.data(), s);
    return now() - t0;
  };
  auto time_gemm = [&](std::uint64_t s, const float* x, std::vector<float>& g) {
    const double t0 = now();
    scipy_cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, s, s, d, 1.0f, x, d, x, d, 0.0f, g.data(), s);
    return now() - t0;
  };
  {
    const std::uint64_t s = std::min<std::uint64_t>(2048, ds.n());
    std::vector<float> x(ds.data(), ds.data() + s * d), g(s * s);
    time_gemm(s, x.data(), g);
    double best_gemm = 1e9, best_syrk = 1e9;
    for (int rep = 0; rep < 5; ++rep) {
      best_gemm = std::min(best_gemm, time_gemm(s, x.data(), g));
      best_syrk = std::min(best_syrk, time_syrk(s, x.data(), g));
    }
    const double full = 2.0 * s * s * d;
    std::printf("reference %llux%llu Gram, 1 thread: sgemm %.1f GFLOP/s (%.4fs); ssyrk %.4fs = %.1f GFLOP/s full-Gram equivalent\n",
                (unsigned long long)s, (unsigned long long)d, full / best_gemm / 1e9, best_gemm, best_syrk,
                full / best_syrk / 1e9);
  }
  const auto leaves = partition::partition(ds, params);
  double syrk_time = 0, block_time = 0, full_flops = 0;
  leaf::LeafScratch scratch;
  std::vector<float> g;
  for (const auto& leaf : leaves) {
    const std::uint64_t s = leaf.size();
    if (s < 2) continue;
    full_flops += 2.0 * s * s * d;
    const double t0 = now();
    leaf::leaf_sq_dists(ds, leaf, s, scratch);
    block_time += now() - t0;
    g.resize(s * s);
    syrk_time += time_syrk(s, scratch.rows.data(), g);
  }
  std::printf("leaf products, 1 thread, %zu leaves: ssyrk %.3fs = %.1f GFLOP/s full-Gram equivalent; "
              "whole distance block (gather+ssyrk+expand+mirror) %.3fs = %.1f GFLOP/s\n",
              leaves.size(), syrk_time, full_flops / syrk_time / 1e9, block_time, full_flops / block_time / 1e9);
}

// What the build's required work costs at best on this machine, with all
// workers: partitioning, the leaf products alone (gather + ssyrk of every
// leaf, nothing else), and one exact sq_l2 between rows already in cache.
// Multiplied by the number of distances a stage must compute, the last gives
// that stage's floor.
void floor_costs(const Dataset& ds, const BuildParams& params) {
  const std::uint64_t d = ds.d();
  const std::size_t workers = current_pool_threads();
  use_single_threaded_blas();
  double best_partition = 1e30, best_products = 1e30;
  std::vector<std::vector<std::uint32_t>> leaves;
  for (int rep = 0; rep < 3; ++rep) {
    double t0 = now();
    leaves = partition::partition(ds, params);
    best_partition = std::min(best_partition, now() - t0);
    struct Buffers { std::vector<float> rows, g; };
    t0 = now();
    parallel_for(
        leaves.size(), [] { return Buffers{}; },
        [&](Buffers& b, std::size_t i) {
          const auto& leaf = leaves[i];
          const std::uint64_t s = leaf.size();
          if (s < 2) return;
          b.rows.resize(s * d);
          b.g.resize(s * s);
          for (std::uint64_t r = 0; r < s; ++r) std::memcpy(&b.rows[r * d], ds.row(leaf[r]), d * sizeof(float));
          scipy_cblas_ssyrk(CblasRowMajor, CblasUpper, CblasNoTrans, s, d, 1.0f, b.rows.data(), d, 0.0f,
                            b.g.data(), s);
        });
    best_products = std::min(best_products, now() - t0);
  }
  std::printf("partition (carving + halo): %.3f s\n", best_partition);
  std::printf("leaf products alone (gather + ssyrk, %zu leaves, %zu workers): %.3f s\n", leaves.size(),
              workers, best_products);

  // 64 rows (a reservoir's worth) against each other, four at a time, over
  // and over: every row stays in cache.
  const std::uint64_t rows = std::min<std::uint64_t>(64, ds.n()) / 4 * 4;
  if (rows == 0) return;
  double best = 1e30;
  for (int rep = 0; rep < 3; ++rep) {
    const double t0 = now();
    float sink = 0.0f;
    for (int it = 0; it < 500; ++it) {
      for (std::uint64_t i = 0; i < rows; ++i) {
        for (std::uint64_t j = 0; j < rows; j += 4) {
          const float* b[4] = {ds.row(j), ds.row(j + 1), ds.row(j + 2), ds.row(j + 3)};
          float out[4];
          sq_l2_x4(ds.row(i), b, d, out);
          sink += out[0];
        }
      }
    }
    best = std::min(best, (now() - t0) / (500.0 * rows * rows));
    if (sink < 0) std::printf("%f\n", sink);
  }
  std::printf("sq_l2 of two cached rows (four-row kernel, 1 worker): %.1f ns\n", best * 1e9);
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t rows = 60000, syn_n = 0, syn_d = 0, threads = 0;
  BuildParams params;
  bool gemm = false, recall = false, floor = false;
  for (int a = 1; a < argc; ++a) {
    const std::string arg = argv[a];
    if (arg == "--rows") rows = std::stoul(argv[++a]);
    else if (arg == "--synthetic") { syn_n = std::stoul(argv[++a]); syn_d = std::stoul(argv[++a]); }
    else if (arg == "--threads") threads = std::stoul(argv[++a]);
    else if (arg == "--runs") params.runs = std::stoul(argv[++a]);
    else if (arg == "--gemm") gemm = true;
    else if (arg == "--recall") recall = true;
    else if (arg == "--floor") floor = true;
    else { std::fprintf(stderr, "unknown argument %s\n", arg.c_str()); return 2; }
  }
  std::vector<float> x = syn_n ? gaussian(syn_n, syn_d) : load_fashion(rows);
  const std::size_t n = syn_n ? syn_n : rows, d = syn_n ? syn_d : 784;
  if (x.size() != n * d) { std::fprintf(stderr, "could not load the data\n"); return 1; }
  PoolScope pool(threads ? Pool::with_threads(threads) : Pool::default_pool());
  const Dataset ds(x, n, d, Metric::L2);
  std::printf("data: %zu x %zu, %zu threads\n", n, d, current_pool_threads());
  if (gemm) { gemm_throughput(ds, params); return 0; }
  if (floor) { floor_costs(ds, params); return 0; }

  const long rss_before = rss_kib();
  const double t0 = now();
  const BuildResult built = build_index_with_cands(ds, params, recall ? params.l_max : 0);
  const double build_s = now() - t0;
  std::printf("build: %.3f s\n", build_s);
  std::printf("memory: rss before build %.0f MiB, peak %.0f MiB, peak beyond input+dataset %.0f MiB\n",
              rss_before / 1024.0, peak_rss_kib() / 1024.0, (peak_rss_kib() - rss_before) / 1024.0);
  check_invariants(built.graph, n, params.r);
  if (recall) reservoir_recall(ds, built);
  return 0;
}
