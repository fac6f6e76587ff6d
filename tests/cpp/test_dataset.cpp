#include <gtest/gtest.h>

#include <vector>

#include "core/dataset.hpp"

namespace velnor {
namespace {

TEST(Dataset, CosineRowsAreScaledToUnitLengthZeroRowsKept) {
  const std::vector<float> data = {3.0f, 4.0f, 0.0f, 0.0f};
  const Dataset ds(data, 2, 2, Metric::Cosine);
  EXPECT_FLOAT_EQ(ds.row(0)[0], 0.6f);
  EXPECT_FLOAT_EQ(ds.row(0)[1], 0.8f);
  EXPECT_EQ(ds.row(1)[0], 0.0f);
  EXPECT_EQ(ds.row(1)[1], 0.0f);
  ASSERT_EQ(ds.norms().size(), 2u);
  EXPECT_NEAR(ds.norms()[0], 1.0f, 1e-6f);
  EXPECT_EQ(ds.norms()[1], 0.0f);
  EXPECT_EQ(data[0], 3.0f);  // the caller's buffer is only read
  EXPECT_NE(ds.data(), data.data());
}

TEST(Dataset, L2BorrowsTheBufferAndComputesNorms) {
  const std::vector<float> data = {1.0f, 2.0f, 3.0f, -1.0f, 0.5f, 0.25f};
  const Dataset ds(data, 2, 3, Metric::L2);
  EXPECT_EQ(ds.data(), data.data());
  EXPECT_EQ(ds.norms()[0], 14.0f);
  EXPECT_EQ(ds.norms()[1], (1.0f + 0.25f) + 0.0625f);
}

TEST(Dataset, RejectsWrongLengthAndOutOfRangeRows) {
  const std::vector<float> data(5);
  try {
    Dataset bad(data, 2, 3, Metric::L2);
    FAIL() << "accepted 5 values for 2 x 3";
  } catch (const Error& e) {
    EXPECT_STREQ(e.what(), "data length must equal n*d");
  }
  const Dataset ds(std::span<const float>(data.data(), 4), 2, 2, Metric::L2);
  EXPECT_THROW(ds.row(2), Error);
}

TEST(Dataset, EmptyMatrixHasNoNorms) {
  const std::vector<float> none;
  EXPECT_TRUE(Dataset(none, 0, 5, Metric::Cosine).norms().empty());
  EXPECT_TRUE(Dataset(none, 4, 0, Metric::L2).norms().empty());
}

}  // namespace
}  // namespace velnor
