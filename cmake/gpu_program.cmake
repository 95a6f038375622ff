# Helpers shared by the program, test and benchmark folders: building
# CUDA-dialect sources for the CPU device.

# The dialect's flags, for every kernel source here and in gpucc:
# - the built-in indices are properties (-fdeclspec);
# - IEEE arithmetic as written: no contraction into fused operations
#   (kernels call fmaf/fma where they want one), no fast-math; math
#   functions need not set errno, which lets sqrt become an instruction;
# - code for this machine's processor, whose vector units the block
#   functions' thread loops use (GPU_NATIVE_CPU=OFF for portable binaries);
# - at least -O1, as gpucc does: unoptimised code keeps every function out
#   of line, the indices' accessors too, and no kernel with a barrier would
#   get its block function (a Debug build runs the kernels as Release does).
option(GPU_NATIVE_CPU "Compile kernels for the building machine's processor" ON)
set(GPU_DIALECT_FLAGS -fdeclspec -ffp-contract=off -fno-fast-math -fno-math-errno $<$<CONFIG:Debug>:-O1>)
if(GPU_NATIVE_CPU)
  list(APPEND GPU_DIALECT_FLAGS -march=native)
endif()
# Plain host code that models kernels (references, baselines) uses the same
# arithmetic flags, so that both compute the same bits.
set(GPU_KERNEL_FLAGS -ffp-contract=off -fno-fast-math -fno-math-errno)
if(GPU_NATIVE_CPU)
  list(APPEND GPU_KERNEL_FLAGS -march=native)
endif()

# The kernel compiler's pass (compiler/pass).
set(GPU_PASS_PLUGIN ${CMAKE_BINARY_DIR}/lib/${CMAKE_SHARED_MODULE_PREFIX}compiler_pass${CMAKE_SHARED_MODULE_SUFFIX})

# use_kernel_compiler(<target>)
# Compiles the target's sources (those it has so far) as the kernel
# dialect, through the pass: .cu sources as C++, every kernel with its block
# function.
function(use_kernel_compiler target)
  get_target_property(sources ${target} SOURCES)
  foreach(src ${sources})
    if(src MATCHES "\\.cu$")
      set_source_files_properties(${src} TARGET_DIRECTORY ${target} PROPERTIES LANGUAGE CXX)
    endif()
    # Every object waits for the pass and follows it: a new pass may build
    # other block functions.
    set_property(SOURCE ${src} TARGET_DIRECTORY ${target} APPEND PROPERTY OBJECT_DEPENDS ${GPU_PASS_PLUGIN})
  endforeach()
  target_compile_options(${target} PRIVATE ${GPU_DIALECT_FLAGS} -fpass-plugin=${GPU_PASS_PLUGIN})
  add_dependencies(${target} compiler_pass)
endfunction()

# Checked builds (gpucc --memcheck) of the programs, in bin/checked/: the
# kernel compiler puts a runtime check before every access of kernel code,
# which CUDART_MEMCHECK=1 and CUDART_FOOTPRINT=1 use. Separate binaries, since
# the checks cost even when off: they keep the thread loops from vectorising.
option(GPU_CHECKED_PROGRAMS "Also build each program for memory checking, into bin/checked" ON)
set(GPU_MEMCHECK_FLAGS -DGPU_MEMCHECK -gline-tables-only)

# add_gpu_program(<target> <main .cu source> [OUTPUT_NAME name] [LIBS libs...]
#                 [LEAVES_BUFFERS_TO_EXIT] [CHECKED])
# Builds a CUDA-dialect program for the CPU device, as gpucc does. The main
# source #includes its kernel source: one translation unit.
# LEAVES_BUFFERS_TO_EXIT: the program frees nothing by design, so sanitizer
# builds do not report its buffers as leaks.
# CHECKED: also <target>_checked, built for checking, into bin/checked/
# under the same file name (when GPU_CHECKED_PROGRAMS is on).
function(add_gpu_program target source)
  cmake_parse_arguments(ARG "LEAVES_BUFFERS_TO_EXIT;CHECKED" "OUTPUT_NAME" "LIBS" ${ARGN})
  set(builds ${target})
  if(ARG_CHECKED AND GPU_CHECKED_PROGRAMS)
    list(APPEND builds ${target}_checked)
  endif()
  foreach(build ${builds})
    add_executable(${build} ${source})
    if(ENABLE_SANITIZERS AND ARG_LEAVES_BUFFERS_TO_EXIT)
      target_sources(${build} PRIVATE ${CMAKE_SOURCE_DIR}/cmake/sanitizer/buffers_left_to_exit.cpp)
    endif()
    use_kernel_compiler(${build})
    target_link_libraries(${build} PRIVATE gpu_runtime_cpu ${ARG_LIBS})
    if(ARG_OUTPUT_NAME)
      set_target_properties(${build} PROPERTIES OUTPUT_NAME ${ARG_OUTPUT_NAME})
    endif()
  endforeach()
  if(ARG_CHECKED AND GPU_CHECKED_PROGRAMS)
    target_compile_options(${target}_checked PRIVATE ${GPU_MEMCHECK_FLAGS})
    get_target_property(output_name ${target} OUTPUT_NAME)
    if(NOT output_name)
      set(output_name ${target})
    endif()
    get_target_property(output_dir ${target} RUNTIME_OUTPUT_DIRECTORY)
    set_target_properties(${target}_checked PROPERTIES OUTPUT_NAME ${output_name} RUNTIME_OUTPUT_DIRECTORY ${output_dir}/checked)
  endif()
endfunction()

# add_kernel_test(<target> <sources...> [LIBS libs...])
# A GoogleTest binary whose sources may hold kernels; registered with CTest.
function(add_kernel_test target)
  cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
  add_executable(${target} ${ARG_UNPARSED_ARGUMENTS})
  use_kernel_compiler(${target})
  set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR})
  target_link_libraries(${target} PRIVATE gpu_runtime_cpu gpu_runtime_common test_helpers GTest::gtest_main ${ARG_LIBS})
  gtest_discover_tests(${target} DISCOVERY_MODE PRE_TEST
    PROPERTIES ENVIRONMENT "GPU_PROGRAMS_BIN=${CMAKE_BINARY_DIR}/bin")
endfunction()
