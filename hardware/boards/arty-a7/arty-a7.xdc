# Arty A7-35T (XC7A35TICSG324-1L): the pins arty_jtag_echo uses, as on the
# board's published master constraints, and the design's clocks. No tool here
# reads this file: the checks in this repository synthesize the design only.

set_property -dict {PACKAGE_PIN E3 IOSTANDARD LVCMOS33} [get_ports clk_100mhz]
set_property -dict {PACKAGE_PIN H5 IOSTANDARD LVCMOS33} [get_ports {led[0]}]
set_property -dict {PACKAGE_PIN J5 IOSTANDARD LVCMOS33} [get_ports {led[1]}]
set_property -dict {PACKAGE_PIN T9 IOSTANDARD LVCMOS33} [get_ports {led[2]}]
set_property -dict {PACKAGE_PIN T10 IOSTANDARD LVCMOS33} [get_ports {led[3]}]
set_property CONFIG_VOLTAGE 3.3 [current_design]
set_property CFGBVS VCCO [current_design]

# The CPU side's clock, and TCK as the BSCANE2 primitive hands it to the
# fabric: the host's cable runs it at 25 MHz at most. The pin is found by the
# primitive's type, whatever the wrapper names its instance.
create_clock -name sys_clk -period 10.000 [get_ports clk_100mhz]
create_clock -name tck -period 40.000 \
    [get_pins -of_objects [get_cells -hierarchical -filter {REF_NAME == BSCANE2}] -filter {REF_PIN_NAME == TCK}]

# The two clocks are unrelated: no path between them is timed as a
# synchronous one. Every crossing goes through cdc_gray_pointer or
# cdc_publish.
set_clock_groups -asynchronous -group [get_clocks sys_clk] -group [get_clocks tck]

# The crossings' multi-bit buses. Clock groups take precedence over
# set_max_delay (a -datapath_only bound on these paths would be ignored), but
# not over set_bus_skew, which is what the crossings need:
# - a Gray-coded pointer (cdc_gray_pointer: the CPU side's pointers towards
#   TCK) changes one bit per source clock, so its bits must arrive within one
#   source period of each other for the first synchronizer to see either the
#   old or the new value;
# - a published value (cdc_publish: the TCK side's pointers towards the CPU
#   side) is held while its request crosses two flip-flops: its bits must
#   settle within one destination period.
# One constraint per bus: the skew is measured across all paths of one.
set_bus_skew -from [get_cells -hierarchical -filter {NAME =~ */rx_read_crossing/src_gray_reg*}] \
    -to [get_cells -hierarchical -filter {NAME =~ */rx_read_crossing/sync1_reg*}] 10.000
set_bus_skew -from [get_cells -hierarchical -filter {NAME =~ */tx_write_crossing/src_gray_reg*}] \
    -to [get_cells -hierarchical -filter {NAME =~ */tx_write_crossing/sync1_reg*}] 10.000
set_bus_skew -from [get_cells -hierarchical -filter {NAME =~ */rx_write_crossing/held_reg*}] \
    -to [get_cells -hierarchical -filter {NAME =~ */rx_write_crossing/dst_value_reg*}] 10.000
set_bus_skew -from [get_cells -hierarchical -filter {NAME =~ */tx_read_crossing/held_reg*}] \
    -to [get_cells -hierarchical -filter {NAME =~ */tx_read_crossing/dst_value_reg*}] 10.000
