/* The binding stub of the delay-loaded functions (x86-64, System V).
 *
 * A trampoline's slot first leads to its binding stub, which puts the
 * slot's index in %r11 and jumps here. The caller's arguments are still in
 * their registers: they are kept across the call of the binder, which returns
 * the function's address, and the function is entered as if called directly
 * (same stack, same return address). %rax carries the count of vector
 * registers a variadic callee reads, %r10 a static chain. */
	.section .note.GNU-stack,"",@progbits

	.text
	.globl tessaro_delay_bind
	.hidden tessaro_delay_bind
	.type tessaro_delay_bind,@function
	.p2align 4
tessaro_delay_bind:
	.cfi_startproc
	pushq %rbp
	.cfi_def_cfa_offset 16
	.cfi_offset %rbp, -16
	movq %rsp, %rbp
	.cfi_def_cfa_register %rbp
	/* Entered with %rsp 8 past a multiple of 16; after the push and 192
	 * bytes the save area and the call are 16-byte aligned. */
	subq $192, %rsp
	movq %rdi, 0(%rsp)
	movq %rsi, 8(%rsp)
	movq %rdx, 16(%rsp)
	movq %rcx, 24(%rsp)
	movq %r8, 32(%rsp)
	movq %r9, 40(%rsp)
	movq %rax, 48(%rsp)
	movq %r10, 56(%rsp)
	movaps %xmm0, 64(%rsp)
	movaps %xmm1, 80(%rsp)
	movaps %xmm2, 96(%rsp)
	movaps %xmm3, 112(%rsp)
	movaps %xmm4, 128(%rsp)
	movaps %xmm5, 144(%rsp)
	movaps %xmm6, 160(%rsp)
	movaps %xmm7, 176(%rsp)
	movl %r11d, %edi
	call tessaro_delay_resolve
	movq %rax, %r11
	movq 0(%rsp), %rdi
	movq 8(%rsp), %rsi
	movq 16(%rsp), %rdx
	movq 24(%rsp), %rcx
	movq 32(%rsp), %r8
	movq 40(%rsp), %r9
	movq 48(%rsp), %rax
	movq 56(%rsp), %r10
	movaps 64(%rsp), %xmm0
	movaps 80(%rsp), %xmm1
	movaps 96(%rsp), %xmm2
	movaps 112(%rsp), %xmm3
	movaps 128(%rsp), %xmm4
	movaps 144(%rsp), %xmm5
	movaps 160(%rsp), %xmm6
	movaps 176(%rsp), %xmm7
	leave
	.cfi_def_cfa %rsp, 8
	.cfi_restore %rbp
	jmpq *%r11
	.cfi_endproc
	.size tessaro_delay_bind,.-tessaro_delay_bind
