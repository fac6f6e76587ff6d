# Locates the OpenBLAS shipped by the scipy-openblas32 wheel (its symbols carry
# the "scipy_" prefix) and exposes it as the interface target velnor_blas.
execute_process(
  COMMAND "${Python_EXECUTABLE}" -c
    "import scipy_openblas32 as s; print(s.get_include_dir()); print(s.get_lib_dir())"
  OUTPUT_VARIABLE _velnor_blas_dirs
  RESULT_VARIABLE _velnor_blas_rc
  OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT _velnor_blas_rc EQUAL 0)
  message(FATAL_ERROR "scipy-openblas32 is required: pip install scipy-openblas32")
endif()
string(REPLACE "\n" ";" _velnor_blas_dirs "${_velnor_blas_dirs}")
list(GET _velnor_blas_dirs 0 VELNOR_BLAS_INCLUDE_DIR)
list(GET _velnor_blas_dirs 1 VELNOR_BLAS_LIB_DIR)

add_library(velnor_blas INTERFACE)
target_include_directories(velnor_blas INTERFACE "${VELNOR_BLAS_INCLUDE_DIR}")
target_link_libraries(velnor_blas INTERFACE "${VELNOR_BLAS_LIB_DIR}/libscipy_openblas.so")
if(NOT SKBUILD)
  # Test binaries run from the build tree and find the library where it lies.
  target_link_options(velnor_blas INTERFACE "-Wl,-rpath,${VELNOR_BLAS_LIB_DIR}")
endif()
