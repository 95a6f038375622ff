// Context switch between fibers on x86-64 (System V): saves the callee-saved
// registers on the current stack, swaps stack pointers and restores the
// other context's registers. Floating-point control state is not switched:
// every fiber of a worker runs with the worker's own rounding and exception
// settings, which kernels never change.
//
// Transfer gpu_jump_context(Context to, void* data)
//   returns {context of the side that switched back here, its data}
    .text
    .globl gpu_jump_context
    .type gpu_jump_context, @function
    .p2align 4
gpu_jump_context:
    pushq %rbp
    pushq %rbx
    pushq %r15
    pushq %r14
    pushq %r13
    pushq %r12
    movq %rsp, %rax
    movq %rdi, %rsp
    popq %r12
    popq %r13
    popq %r14
    popq %r15
    popq %rbx
    popq %rbp
    movq %rsi, %rdx
    ret
    .size gpu_jump_context, .-gpu_jump_context

// First code run on a new fiber's stack: calls the entry function that
// gpu_make_context left in r12 with the transfer (rax, rdx) as arguments.
    .globl gpu_context_start
    .type gpu_context_start, @function
    .p2align 4
gpu_context_start:
    movq %rax, %rdi
    movq %rdx, %rsi
    callq *%r12
    ud2
    .size gpu_context_start, .-gpu_context_start

    .section .note.GNU-stack, "", @progbits
