# The GPU build (-DGPU_BUILD=ON): the five programs compiled by nvcc from the
# same .cu sources for NVIDIA GPUs of compute capability 7.5, 8.0 and 9.0,
# plus PTX for later ones, linked against the vendor CUDA runtime and our thin
# layer over it (runtime/cuda/). Kernels keep the CPU build's arithmetic: no
# contraction into fused multiply-adds beyond the fmaf/fma the kernels write,
# IEEE division and square root, subnormals kept. Only the tests of this
# build (tests/runtime/cuda/) are built with it.
#
#   cmake -S . -B build-gpu -G Ninja -DGPU_BUILD=ON && cmake --build build-gpu

# nvcc from the usual place unless one is named or on PATH.
if(NOT CMAKE_CUDA_COMPILER AND NOT DEFINED ENV{CUDACXX} AND EXISTS /usr/local/cuda/bin/nvcc)
  set(CMAKE_CUDA_COMPILER /usr/local/cuda/bin/nvcc)
endif()
if(NOT CMAKE_CUDA_ARCHITECTURES)
  # Device code for 7.5 and 8.0; device code and PTX for 9.0.
  set(CMAKE_CUDA_ARCHITECTURES 75-real 80-real 90)
endif()
enable_language(CUDA)
find_package(CUDAToolkit REQUIRED)
set(CMAKE_CUDA_STANDARD 17)
set(CMAKE_CUDA_STANDARD_REQUIRED ON)
set(CMAKE_CUDA_EXTENSIONS OFF)

# Device arithmetic as the CPU device computes it; host code of the programs
# as the CPU build compiles it (no contraction).
set(GPU_CUDA_FLAGS --fmad=false -prec-div=true -prec-sqrt=true -ftz=false -Xcompiler=-ffp-contract=off)

add_subdirectory(runtime)

# add_cuda_program(<target> <main .cu source> [OUTPUT_NAME name] [LIBS libs...])
# A program compiled by nvcc and linked against the vendor runtime (shared,
# so that our layer wraps its calls and not the runtime's calls to itself).
function(add_cuda_program target source)
  cmake_parse_arguments(ARG "" "OUTPUT_NAME" "LIBS" ${ARGN})
  add_executable(${target} ${source})
  set_source_files_properties(${source} PROPERTIES LANGUAGE CUDA)
  target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:CUDA>:${GPU_CUDA_FLAGS}>)
  target_link_libraries(${target} PRIVATE gpu_runtime_cuda ${ARG_LIBS})
  set_target_properties(${target} PROPERTIES
    CUDA_RUNTIME_LIBRARY Shared
    BUILD_RPATH "${CUDAToolkit_LIBRARY_DIR}")
  if(ARG_OUTPUT_NAME)
    set_target_properties(${target} PROPERTIES OUTPUT_NAME ${ARG_OUTPUT_NAME})
  endif()
endfunction()

# CMake reserves the target name "test"; the program is still called test.
add_cuda_program(test_program ${CMAKE_SOURCE_DIR}/programs/test/test.cu OUTPUT_NAME test)
add_cuda_program(kernel ${CMAKE_SOURCE_DIR}/programs/kernel/kernel.cu)
add_cuda_program(ombrel ${CMAKE_SOURCE_DIR}/programs/ombrel/ombrel.cu)
add_cuda_program(tessak ${CMAKE_SOURCE_DIR}/programs/tessak/tessak.cu LIBS gpu_runtime_timer)
add_cuda_program(halvik ${CMAKE_SOURCE_DIR}/programs/halvik/halvik.cu)

if(BUILD_TESTING)
  add_subdirectory(tests/runtime/cuda)
endif()
