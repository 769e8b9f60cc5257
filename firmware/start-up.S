/* Reset entry and trap entry. With -bios none the hart starts at the first
   byte of RAM, so _start lives in .text.start, which virt.ld puts first. */

    /* The CSR instructions belong to the Zicsr extension. */
    .option arch, +zicsr

    .section .text.start, "ax"
    .globl _start
    .type _start, @function
_start:
    /* Relaxed, the linker would address __global_pointer$ through gp,
       which is not set yet. */
    .option push
    .option norelax
    la gp, __global_pointer$
    .option pop
    la sp, __stack_top

    /* Only hart 0 runs the firmware; any other hart sleeps for good. */
    csrr t0, mhartid
    bnez t0, park

    la t0, trap_entry
    csrw mtvec, t0

    la t0, __bss_start
    la t1, __bss_end
1:  bgeu t0, t1, 2f
    sw zero, 0(t0)
    addi t0, t0, 4
    j 1b
2:
    call main
park:
    csrw mie, zero
    wfi
    j park
    .size _start, . - _start

/* Direct mode: every trap lands here. Only the registers a C function may
   clobber are saved; trap_handler saves the rest itself. */
    .text
    .balign 4
    .globl trap_entry
    .type trap_entry, @function
trap_entry:
    addi sp, sp, -64
    sw ra, 0(sp)
    sw t0, 4(sp)
    sw t1, 8(sp)
    sw t2, 12(sp)
    sw a0, 16(sp)
    sw a1, 20(sp)
    sw a2, 24(sp)
    sw a3, 28(sp)
    sw a4, 32(sp)
    sw a5, 36(sp)
    sw a6, 40(sp)
    sw a7, 44(sp)
    sw t3, 48(sp)
    sw t4, 52(sp)
    sw t5, 56(sp)
    sw t6, 60(sp)
    csrr a0, mcause
    csrr a1, mepc
    call trap_handler
    lw ra, 0(sp)
    lw t0, 4(sp)
    lw t1, 8(sp)
    lw t2, 12(sp)
    lw a0, 16(sp)
    lw a1, 20(sp)
    lw a2, 24(sp)
    lw a3, 28(sp)
    lw a4, 32(sp)
    lw a5, 36(sp)
    lw a6, 40(sp)
    lw a7, 44(sp)
    lw t3, 48(sp)
    lw t4, 52(sp)
    lw t5, 56(sp)
    lw t6, 60(sp)
    addi sp, sp, 64
    mret
    .size trap_entry, . - trap_entry
