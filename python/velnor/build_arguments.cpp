#include "python/velnor/build_arguments.hpp"

namespace velnor::py {

bool convert_build_arguments(Arguments& a, std::size_t first, bool with_beam_l,
                             BuildArguments& out) {
  BuildParams& p = out.params;
  PyObject* metric_name = nullptr;
  std::size_t i = first;
  if (!a.str(i++, metric_name) || !a.u64(i++, p.m) || !a.u64(i++, p.l_max) ||
      !a.u64(i++, p.r) || !a.f32(i++, p.alpha)) {
    return false;
  }
  if (with_beam_l && !a.u64(i++, out.beam_l)) return false;
  if (!a.u64(i++, p.fanout) || !a.u64(i++, p.c_min) || !a.u64(i++, p.c_max) ||
      !a.u64(i++, p.runs) || !a.u64(i++, out.n_jobs) || !a.u64(i++, p.seed)) {
    return false;
  }
  return parse_metric(metric_name, p.metric);
}

}  // namespace velnor::py
