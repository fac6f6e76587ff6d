#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "core/metric.hpp"

namespace velnor {
namespace {

TEST(MetricParse, NamesAnyAsciiCase) {
  const struct {
    const char* text;
    Metric::Kind kind;
  } accepted[] = {{"L2", Metric::L2},           {"l2", Metric::L2},
                  {"Euclidean", Metric::L2},    {"EUCLIDIAN", Metric::L2},
                  {"Cosine", Metric::Cosine},   {"ANGULAR", Metric::Cosine},
                  {"cOsInE", Metric::Cosine}};
  for (const auto& c : accepted) {
    const auto m = Metric::parse(c.text);
    ASSERT_TRUE(m.has_value()) << c.text;
    EXPECT_EQ(m->kind, c.kind) << c.text;
  }
}

TEST(MetricParse, RejectsEverythingElse) {
  for (const std::string text :
       {"", " cosine", "cosine ", "cos", "dot", "l1", "EUCLİDEAN" /* dotted capital I */}) {
    EXPECT_FALSE(Metric::parse(text).has_value()) << '"' << text << '"';
  }
}

TEST(MetricReported, TransformsOfSquaredDistance) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  EXPECT_EQ(Metric(Metric::L2).reported(9.0f), 3.0f);
  EXPECT_EQ(Metric(Metric::L2).reported(-1.0f), 0.0f);
  EXPECT_EQ(Metric(Metric::L2).reported(nan), 0.0f);
  EXPECT_EQ(Metric(Metric::Cosine).reported(4.0f), 2.0f);
  EXPECT_EQ(Metric(Metric::Cosine).reported(-0.5f), 0.0f);
  EXPECT_EQ(Metric(Metric::Cosine).reported(nan), 0.0f);
}

}  // namespace
}  // namespace velnor
