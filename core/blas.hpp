#pragma once
// The BLAS runs inside our own parallel loops: it must not start threads of
// its own.

namespace velnor {

// Sets the BLAS to one thread for the whole process (done once).
void use_single_threaded_blas();

}  // namespace velnor
