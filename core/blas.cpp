#include "core/blas.hpp"

#include <cblas.h>

#include <mutex>

namespace velnor {

void use_single_threaded_blas() {
  static std::once_flag once;
  std::call_once(once, [] { scipy_openblas_set_num_threads(1); });
}

}  // namespace velnor
