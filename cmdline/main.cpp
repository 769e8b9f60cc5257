// tolvan-terminal: console terminal for the JTAG UART of a target board.
#include "cmdline/process-args.h"
#include "relay/terminal.h"

int main(int argc, char** argv) {
    return tolvan::program_main(argc, argv, tolvan::run_terminal);
}
