#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <numeric>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "core/build.hpp"
#include "core/distance.hpp"
#include "core/error.hpp"
#include "core/hashprune/reservoir.hpp"
#include "core/parallel.hpp"
#include "core/partition/ball_carving.hpp"
#include "core/rng.hpp"
#include "fashion_mnist.hpp"

namespace velnor {
namespace {

// Sets (or unsets) VELNOR_PROFILE for one scope.
class ProfileEnv {
 public:
  explicit ProfileEnv(std::optional<std::string> value) {
    if (const char* old = std::getenv("VELNOR_PROFILE")) saved_ = old;
    if (value) setenv("VELNOR_PROFILE", value->c_str(), 1);
    else unsetenv("VELNOR_PROFILE");
  }
  ~ProfileEnv() {
    if (saved_) setenv("VELNOR_PROFILE", saved_->c_str(), 1);
    else unsetenv("VELNOR_PROFILE");
  }

 private:
  std::optional<std::string> saved_;
};

std::vector<float> gaussian_rows(std::size_t n, std::size_t d, std::uint64_t seed) {
  ChaCha8 rng(seed);
  std::vector<float> x(n * d);
  for (float& v : x) v = rng.uniform_f32() + rng.uniform_f32() + rng.uniform_f32() - 1.5f;
  return x;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

void expect_same(const BuildResult& a, const BuildResult& b, const std::string& what) {
  EXPECT_EQ(a.graph.offsets, b.graph.offsets) << what;
  EXPECT_EQ(a.graph.neighbors, b.graph.neighbors) << what;
  EXPECT_EQ(a.graph.medoid, b.graph.medoid) << what;
  EXPECT_EQ(a.candidates, b.candidates) << what;
  EXPECT_EQ(a.order, b.order) << what;
}

// Every id < n, no self edge, no repeated id, degree <= r; candidate lists
// ascending by (distance, id), without the node, at most keep entries, with
// bfloat16 distances.
void expect_valid(const BuildResult& built, std::uint64_t n, std::uint64_t r, std::uint64_t keep) {
  const Graph& g = built.graph;
  ASSERT_EQ(g.size(), n);
  ASSERT_LT(g.medoid, n);
  // The locality order holds every node exactly once.
  std::vector<std::uint32_t> order = built.order;
  std::sort(order.begin(), order.end());
  std::vector<std::uint32_t> every(n);
  std::iota(every.begin(), every.end(), 0u);
  ASSERT_EQ(order, every);
  for (std::uint64_t i = 0; i < n; ++i) {
    auto nb = g.neighbors_of(i);
    std::vector<std::uint32_t> list(nb.begin(), nb.end());
    ASSERT_LE(list.size(), r) << i;
    std::sort(list.begin(), list.end());
    ASSERT_EQ(std::adjacent_find(list.begin(), list.end()), list.end()) << i;
    for (const auto j : list) {
      ASSERT_LT(j, n);
      ASSERT_NE(j, i);
    }
  }
  if (keep == 0) {
    EXPECT_TRUE(built.candidates.empty());
    return;
  }
  ASSERT_EQ(built.candidates.size(), n);
  for (std::uint64_t i = 0; i < n; ++i) {
    const auto& c = built.candidates[i];
    ASSERT_LE(c.size(), keep);
    for (std::size_t t = 0; t < c.size(); ++t) {
      ASSERT_NE(c[t].id, i);
      ASSERT_EQ(c[t].dist, hashprune::from_bfloat16(hashprune::to_bfloat16(c[t].dist)));
      if (t > 0) {
        ASSERT_TRUE(c[t - 1].dist < c[t].dist || (c[t - 1].dist == c[t].dist && c[t - 1].id < c[t].id));
      }
    }
  }
}

TEST(Build, EmptyDatasetPrintsNothing) {
  ProfileEnv profile("");
  const Dataset ds({}, 0, 8, Metric::L2);
  BuildParams p;
  p.m = 17;  // not even looked at
  testing::internal::CaptureStderr();
  const BuildResult built = build_index_with_cands(ds, p, 5);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(built.graph.offsets, (std::vector<std::uint64_t>{0}));
  EXPECT_TRUE(built.graph.neighbors.empty());
  EXPECT_EQ(built.graph.medoid, 0u);
  EXPECT_TRUE(built.candidates.empty());
}

TEST(Build, ArgumentAndInputErrors) {
  const auto x = gaussian_rows(50, 4, 1);
  const Dataset ds(x, 50, 4, Metric::L2);
  const struct {
    const char* what;
    BuildParams p;
    const char* message;
  } bad_args[] = {
      {"m = 17", [] { BuildParams p; p.m = 17; return p; }(), "m must be <= 16 (code packs into u16)"},
      {"r = 0", [] { BuildParams p; p.r = 0; return p; }(), "r must be >= 1"},
      {"c_max = 0", [] { BuildParams p; p.c_max = 0; return p; }(), "c_max must be >= 1"},
  };
  for (const auto& c : bad_args) {
    try {
      build_index_with_cands(ds, c.p, 0);
      ADD_FAILURE() << c.what << " was accepted";
    } catch (const InvalidArgument& e) {
      EXPECT_STREQ(e.what(), c.message) << c.what;
    }
  }
  // Non-finite values, or an L2 row whose squared norm overflows (a cosine
  // row like that is scaled to zeros when the dataset is made).
  const struct {
    float value;
    Metric metric;
  } bad_rows[] = {{std::numeric_limits<float>::quiet_NaN(), Metric::L2},
                  {std::numeric_limits<float>::quiet_NaN(), Metric::Cosine},
                  {-std::numeric_limits<float>::infinity(), Metric::L2},
                  {std::numeric_limits<float>::infinity(), Metric::Cosine},
                  {1e30f, Metric::L2}};
  for (const auto& c : bad_rows) {
    auto y = x;
    y[77] = c.value;
    const Dataset with_bad(y, 50, 4, c.metric);
    EXPECT_THROW(build_index_with_cands(with_bad, BuildParams{}, 3), InvalidArgument) << c.value;
  }
}

// A stage line: "[velnor] ", the label left-justified in 14 characters, a
// space, the seconds right-justified in 7 characters with 3 decimals, "s".
void expect_stage_line(const std::string& line, const std::string& label) {
  ASSERT_EQ(line.size(), 32u) << line;
  EXPECT_EQ(line.substr(0, 24), "[velnor] " + label + std::string(14 - label.size(), ' ') + " ") << line;
  double seconds = -1.0;
  ASSERT_EQ(std::sscanf(line.c_str() + 24, "%lf", &seconds), 1) << line;
  char formatted[16];
  std::snprintf(formatted, sizeof formatted, "%7.3fs", seconds);
  EXPECT_EQ(line.substr(24), formatted) << line;
}

TEST(Build, ProfileLines) {
  const auto x = gaussian_rows(600, 8, 2);
  const Dataset ds(x, 600, 8, Metric::L2);
  BuildParams p;
  p.c_max = 200;
  for (const auto& [runs, shown] : std::vector<std::pair<std::uint64_t, std::uint64_t>>{{0, 1}, {2, 2}}) {
    p.runs = runs;
    ProfileEnv profile("");
    testing::internal::CaptureStderr();
    build_index_with_cands(ds, p, 0);
    const auto lines = lines_of(testing::internal::GetCapturedStderr());
    ASSERT_EQ(lines.size(), 4 + shown);
    expect_stage_line(lines[0], "sketch");
    for (std::uint64_t t = 0; t < shown; ++t) {
      // The leaf count and replication of the run's own partition.
      BuildParams run_params = p;
      run_params.seed = run_seed(p.seed, t);
      const auto leaves = partition::partition(ds, run_params);
      std::size_t total = 0;
      for (const auto& l : leaves) total += l.size();
      char expected[128];
      std::snprintf(expected, sizeof expected, "[velnor] run %llu/%llu leaves=%zu repl=%.2fx",
                    static_cast<unsigned long long>(t + 1), static_cast<unsigned long long>(shown),
                    leaves.size(), static_cast<double>(total) / 600.0);
      EXPECT_EQ(lines[1 + t], expected);
    }
    expect_stage_line(lines[1 + shown], "leaf+hashprune");
    expect_stage_line(lines[2 + shown], "robustprune");
    expect_stage_line(lines[3 + shown], "symmetrize");
  }
  for (const std::optional<std::string>& value : {std::optional<std::string>("1"), std::optional<std::string>()}) {
    ProfileEnv profile(value);
    testing::internal::CaptureStderr();
    build_index_with_cands(ds, p, 0);
    EXPECT_EQ(lines_of(testing::internal::GetCapturedStderr()).size(), value ? 6u : 0u);
  }
}

TEST(Build, RunSeeds) {
  EXPECT_EQ(run_seed(5, 0), 5u);
  EXPECT_EQ(run_seed(5, 1), 5u + 0x9E3779B97F4A7C15ull);
  EXPECT_EQ(run_seed(~0ull, 2), ~0ull + 2 * 0x9E3779B97F4A7C15ull);  // wraps
}

// Same dataset and parameters: bit-identical graphs and candidate lists with
// 1, 2 and 4 workers; on real data with two runs, and on a set carved into
// 257 leaves or more (the halo's grouped search).
TEST(Build, IdenticalForAnyNumberOfWorkers) {
  VELNOR_LOAD_FASHION_OR_SKIP(fashion, 2500);
  const Dataset real(fashion, 2500, testdata::kFashionDim, Metric::L2);
  const auto synthetic = gaussian_rows(6000, 8, 3);
  const Dataset many_leaves(synthetic, 6000, 8, Metric::Cosine);

  BuildParams real_params;
  real_params.c_max = 300;
  real_params.runs = 2;
  real_params.seed = 99;
  BuildParams grouped_params;
  grouped_params.c_max = 24;
  grouped_params.l_max = 16;
  grouped_params.r = 12;
  ASSERT_GE(partition::partition(many_leaves, [&] { auto p = grouped_params; p.fanout = 1; return p; }()).size(),
            257u);

  for (const auto& [ds, p, keep] : {std::tuple{&real, real_params, 20ull}, std::tuple{&many_leaves, grouped_params, 100ull}}) {
    std::optional<BuildResult> first;
    for (const std::size_t workers : {1u, 2u, 4u}) {
      PoolScope pool(Pool::with_threads(workers));
      BuildResult built = build_index_with_cands(*ds, p, keep);
      expect_valid(built, ds->n(), p.r, keep);
      if (!first) first = std::move(built);
      else expect_same(*first, built, std::to_string(workers) + " workers");
    }
  }
}

// On real data the reservoirs hold most of each point's exact 10 nearest
// neighbours, and the graph meets its invariants.
TEST(Build, RealDataGraphAndCandidates) {
  const std::size_t n = 3000, d = testdata::kFashionDim;
  VELNOR_LOAD_FASHION_OR_SKIP(x, n);
  const Dataset ds(x, n, d, Metric::L2);
  BuildParams p;
  p.c_max = 512;
  const BuildResult built = build_index_with_cands(ds, p, 1000);
  expect_valid(built, n, p.r, 1000);

  std::size_t hits = 0, total = 0;
  for (std::uint32_t i = 0; i < n; i += 30) {
    std::vector<std::pair<float, std::uint32_t>> all;
    for (std::uint32_t j = 0; j < n; ++j)
      if (j != i) all.push_back({sq_l2(ds.row(i), ds.row(j), d), j});
    std::partial_sort(all.begin(), all.begin() + 10, all.end());
    for (int t = 0; t < 10; ++t, ++total)
      hits += std::any_of(built.candidates[i].begin(), built.candidates[i].end(),
                          [&](const Candidate& c) { return c.id == all[t].second; });
    // keep_cands beyond the fill returns the whole read-out.
    EXPECT_LE(built.candidates[i].size(), p.l_max);
  }
  EXPECT_GT(static_cast<double>(hits) / total, 0.8);
}

// One leaf (n <= c_max): every reservoir sees all other points, so its
// nearest entry is the exact nearest neighbour; with m = 0 all codes are
// equal and only that one entry is kept.
TEST(Build, SingleLeafKeepsTheExactNearestNeighbour) {
  const std::size_t n = 120, d = 10;
  const auto x = gaussian_rows(n, d, 4);
  const Dataset ds(x, n, d, Metric::L2);
  for (const std::uint64_t m : {0u, 16u}) {
    BuildParams p;
    p.m = m;
    const BuildResult built = build_index_with_cands(ds, p, 500);
    expect_valid(built, n, p.r, 500);
    for (std::uint32_t i = 0; i < n; ++i) {
      std::uint32_t best = i == 0 ? 1 : 0;
      for (std::uint32_t j = 0; j < n; ++j)
        if (j != i && sq_l2(ds.row(i), ds.row(j), d) < sq_l2(ds.row(i), ds.row(best), d)) best = j;
      ASSERT_FALSE(built.candidates[i].empty());
      EXPECT_EQ(built.candidates[i][0].id, best) << i;
      if (m == 0) {
        EXPECT_EQ(built.candidates[i].size(), 1u);
      }
    }
  }
  const BuildResult none = build_index_with_cands(ds, BuildParams{}, 0);
  EXPECT_TRUE(none.candidates.empty());
}

// Rows of no values are all at distance 0: the build still gives a valid graph.
TEST(Build, ZeroDimensionalRows) {
  const Dataset ds({}, 700, 0, Metric::L2);
  BuildParams p;
  p.c_max = 100;
  p.r = 8;
  const BuildResult built = build_index_with_cands(ds, p, 4);
  expect_valid(built, 700, p.r, 4);
}

}  // namespace
}  // namespace velnor
