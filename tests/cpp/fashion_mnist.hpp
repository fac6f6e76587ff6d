#pragma once
// The first rows of the Fashion-MNIST training images (784 pixels each, as
// float32 values 0..255), for tests on real data. Skips the test when the
// data set is not installed.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdint>
#include <string>
#include <vector>

namespace velnor::testdata {

constexpr std::size_t kFashionDim = 784;

inline std::vector<float> load_fashion_mnist(std::size_t rows) {
  const std::string path = "/usr/share/datasets/fashion-mnist/train-images-idx3-ubyte.gz";
  std::vector<float> out;
  FILE* pipe = popen(("gzip -dc " + path + " 2>/dev/null").c_str(), "r");
  if (pipe == nullptr) return out;
  unsigned char header[16];
  std::vector<unsigned char> pixels(rows * kFashionDim);
  const bool ok = std::fread(header, 1, 16, pipe) == 16 &&
                  std::fread(pixels.data(), 1, pixels.size(), pipe) == pixels.size();
  pclose(pipe);
  if (!ok) return out;
  out.assign(pixels.begin(), pixels.end());
  return out;
}

}  // namespace velnor::testdata

// Loads `rows` images into `var`, or skips the test when the data is missing.
#define VELNOR_LOAD_FASHION_OR_SKIP(var, rows)                                   \
  std::vector<float> var = ::velnor::testdata::load_fashion_mnist(rows);         \
  if (var.empty()) GTEST_SKIP() << "dataset-fashion-mnist is not installed"
