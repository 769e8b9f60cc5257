# Cross toolchain for the firmware: bare-metal RV32IMAC (ilp32) with Debian's
# riscv64-unknown-elf GCC and picolibc, whose multilibs hold rv32imac/ilp32.
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR riscv32)

set(RISCV_TOOL_PREFIX riscv64-unknown-elf- CACHE STRING "Prefix of the cross tools")
set(CMAKE_C_COMPILER ${RISCV_TOOL_PREFIX}gcc)
set(CMAKE_ASM_COMPILER ${RISCV_TOOL_PREFIX}gcc)
set(CMAKE_OBJCOPY ${RISCV_TOOL_PREFIX}objcopy CACHE FILEPATH "")
set(CMAKE_SIZE ${RISCV_TOOL_PREFIX}size CACHE FILEPATH "")

# Plain rv32imac, which selects picolibc's rv32imac multilib; the sources that
# use CSR instructions turn the Zicsr extension on where they use them.
set(riscv_arch_flags "-march=rv32imac -mabi=ilp32")
set(CMAKE_C_FLAGS_INIT "${riscv_arch_flags} --specs=picolibc.specs")
set(CMAKE_ASM_FLAGS_INIT "${riscv_arch_flags}")
# Our own start-up code and linker script replace picolibc's crt0 and
# picolibc.ld; the C library is used for string functions only. The C flags,
# with picolibc's include and library paths, are on the link line too.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-nostartfiles")

# No program can run on the build machine, so CMake's checks only compile.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
