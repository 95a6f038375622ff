# Helpers shared by the program, test and benchmark folders.

include(CheckCXXSourceRuns)

# Kernels call fmaf/fma in their inner loops: use the FMA instructions where
# this machine has them, else every call goes through the C library.
set(CMAKE_REQUIRED_FLAGS "-mfma")
check_cxx_source_runs("
  int main() { return __builtin_cpu_supports(\"fma\") ? 0 : 1; }" GPU_HOST_HAS_FMA)
unset(CMAKE_REQUIRED_FLAGS)
set(GPU_KERNEL_FLAGS -ffp-contract=off -fno-fast-math)
if(GPU_HOST_HAS_FMA)
  list(APPEND GPU_KERNEL_FLAGS -mfma)
endif()

# split_at_barriers(<source> <output variable>)
# Runs split_barriers over a CUDA-dialect source (and the .cu files it
# includes): the generated file compiles the source and adds the region form
# of each kernel that can be split at its barriers.
function(split_at_barriers source out_var)
  get_filename_component(abs ${source} ABSOLUTE)
  get_filename_component(name ${source} NAME)
  set(out ${CMAKE_CURRENT_BINARY_DIR}/split_barriers/${name}.cpp)
  add_custom_command(
    OUTPUT ${out}
    COMMAND split_barriers ${abs} ${out} --depfile ${out}.d
    DEPENDS split_barriers ${abs}
    DEPFILE ${out}.d
    COMMENT "Splitting the kernels of ${name} at their barriers"
    VERBATIM)
  set(${out_var} ${out} PARENT_SCOPE)
endfunction()

# add_gpu_program(<target> <main .cu source> [OUTPUT_NAME name] [LIBS libs...]
#                 [LEAVES_BUFFERS_TO_EXIT])
# Builds a CUDA-dialect program with the host compiler against the CPU
# device runtime. The main source #includes its kernel source; both go
# through split_at_barriers.
# LEAVES_BUFFERS_TO_EXIT: the program frees nothing by design, so sanitizer
# builds do not report its buffers as leaks.
function(add_gpu_program target source)
  cmake_parse_arguments(ARG "LEAVES_BUFFERS_TO_EXIT" "OUTPUT_NAME" "LIBS" ${ARGN})
  split_at_barriers(${source} generated)
  add_executable(${target} ${generated})
  if(ENABLE_SANITIZERS AND ARG_LEAVES_BUFFERS_TO_EXIT)
    target_sources(${target} PRIVATE ${CMAKE_SOURCE_DIR}/cmake/sanitizer/buffers_left_to_exit.cpp)
  endif()
  target_compile_options(${target} PRIVATE ${GPU_KERNEL_FLAGS})
  target_link_libraries(${target} PRIVATE gpu_runtime_cpu ${ARG_LIBS})
  if(ARG_OUTPUT_NAME)
    set_target_properties(${target} PROPERTIES OUTPUT_NAME ${ARG_OUTPUT_NAME})
  endif()
endfunction()

# add_kernel_test(<target> <sources...> [LIBS libs...])
# A GoogleTest binary that may include .cu kernel sources; registered with CTest.
function(add_kernel_test target)
  cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
  foreach(src ${ARG_UNPARSED_ARGUMENTS})
    if(src MATCHES "\\.cu$")
      set_source_files_properties(${src} PROPERTIES LANGUAGE CXX)
    endif()
  endforeach()
  add_executable(${target} ${ARG_UNPARSED_ARGUMENTS})
  set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  target_compile_options(${target} PRIVATE ${GPU_KERNEL_FLAGS})
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR})
  target_link_libraries(${target} PRIVATE gpu_runtime_cpu gpu_runtime_common test_helpers GTest::gtest_main ${ARG_LIBS})
  gtest_discover_tests(${target} DISCOVERY_MODE PRE_TEST
    PROPERTIES ENVIRONMENT "GPU_PROGRAMS_BIN=${CMAKE_BINARY_DIR}/bin")
endfunction()
