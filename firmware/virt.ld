/* Memory layout of the firmware on the virt machine started with -bios none:
   everything in RAM from 0x80000000, where the hart begins to execute. */
OUTPUT_ARCH(riscv)
ENTRY(_start)

MEMORY
{
    RAM (rwx) : ORIGIN = 0x80000000, LENGTH = 128M
}

STACK_SIZE = 64K;

SECTIONS
{
    /* The start-up code first: the hart jumps to the first byte, whatever
       the ELF entry says. Start-up and the rest of the code share one
       output section, so no call between them is out of reach. */
    .text : {
        __text_start = .;
        KEEP(*(.text.start))
        *(.text .text.*)
        . = ALIGN(4);
        __text_end = .;
    } > RAM

    .rodata : {
        *(.rodata .rodata.*)
        *(.srodata .srodata.*)
    } > RAM

    /* QEMU loads the ELF's segments into RAM, so initialised data needs no
       copy at start-up. */
    .data : {
        . = ALIGN(8);
        *(.data .data.*)
        . = ALIGN(8);
        __global_pointer$ = . + 0x800;
        *(.sdata .sdata.*)
    } > RAM

    .bss (NOLOAD) : {
        . = ALIGN(8);
        __bss_start = .;
        *(.sbss .sbss.*)
        *(.bss .bss.*)
        *(COMMON)
        . = ALIGN(8);
        __bss_end = .;
    } > RAM

    .stack (NOLOAD) : {
        . = ALIGN(16);
        . += STACK_SIZE;
        __stack_top = .;
    } > RAM
}
