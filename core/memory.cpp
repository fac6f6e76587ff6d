#include "core/memory.hpp"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace velnor {

void release_free_memory() {
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}

}  // namespace velnor
