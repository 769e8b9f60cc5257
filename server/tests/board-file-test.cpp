// Board-file parsing: defaults, every key, and errors that name file and line.
#include "server/board.h"

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

namespace {

std::string parse_error(const std::string& text) {
    BoardConfig board;
    std::string error;
    EXPECT_FALSE(parse_board(text, "lab.toml", board, error)) << text;
    return error;
}

/// A board file that must be read: the board (empty, with a failure, when it is not).
BoardConfig parsed(const std::string& text, const std::string& source = "lab.toml") {
    BoardConfig board;
    std::string error;
    EXPECT_TRUE(parse_board(text, source, board, error)) << error;
    return board;
}

}  // namespace

TEST(BoardFile, DefaultsAndEveryKey) {
    BoardConfig board;
    std::string error;
    ASSERT_TRUE(parse_board(R"(
[[cable]]
name = "SimCable [sim-0]"
[[cable.device]]
[[cable.device.uart]]
[[cable]]
name = "lab"
plugged = false
powered = false
board = false
support = -3
[[cable.device]]
[[cable.device]]
[[cable.device.uart]]
compatible = false
rx_fifo = 1
tx_fifo = 65536
target = "exec"
command = "cat"
[[cable.device.uart]]
target = "tcp"
listen = "127.0.0.1:5000"
)", "lab.toml", board, error)) << error;
    ASSERT_EQ(board.cables.size(), 2u);
    const CableConfig& first = board.cables[0];
    EXPECT_TRUE(first.plugged && first.powered && first.has_board);
    EXPECT_EQ(first.support, 0);
    ASSERT_EQ(first.devices.size(), 1u);
    const UartConfig& plain = first.devices[0].uarts.at(0);
    EXPECT_EQ(plain.target, "demo");
    EXPECT_EQ(plain.rx_fifo, 64u);
    EXPECT_EQ(plain.tx_fifo, 64u);
    EXPECT_TRUE(plain.compatible);
    const CableConfig& lab = board.cables[1];
    EXPECT_FALSE(lab.plugged || lab.powered || lab.has_board);
    EXPECT_EQ(lab.support, -3);
    ASSERT_EQ(lab.devices.size(), 2u);
    EXPECT_TRUE(lab.devices[0].uarts.empty());
    ASSERT_EQ(lab.devices[1].uarts.size(), 2u);
    const UartConfig& exec = lab.devices[1].uarts[0];
    EXPECT_FALSE(exec.compatible);
    EXPECT_EQ(exec.rx_fifo, 1u);
    EXPECT_EQ(exec.tx_fifo, 65536u);
    EXPECT_EQ(exec.target, "exec");
    EXPECT_EQ(exec.settings.text("command"), "cat");
    EXPECT_EQ(lab.devices[1].uarts[1].target, "tcp");
    EXPECT_EQ(lab.devices[1].uarts[1].settings.text("listen"), "127.0.0.1:5000");
}

TEST(BoardFile, EmptyFileHasNoCables) {
    BoardConfig board;
    std::string error;
    ASSERT_TRUE(parse_board("", "empty.toml", board, error));
    EXPECT_TRUE(board.cables.empty());
}

TEST(BoardFile, SyntaxErrorNamesFileAndLine) {
    const std::string error = parse_error("[[cable]]\nname = \"a\"\nplugged = tru\n");
    EXPECT_EQ(error.rfind("lab.toml:3: ", 0), 0u) << error;
}

TEST(BoardFile, UnknownKeysAreErrorsWithTheirLine) {
    EXPECT_EQ(parse_error("[[cable]]\nname = \"a\"\npluged = true\n"),
              "lab.toml:3: unknown key 'pluged' in a cable");
    EXPECT_EQ(parse_error("[[cable]]\nname = \"a\"\n[[cable.device]]\n[[cable.device.uart]]\nfifo = 3\n"),
              "lab.toml:5: unknown key 'fifo' in a uart");
    EXPECT_EQ(parse_error("title = \"x\"\n"), "lab.toml:1: unknown key 'title' in the board file");
}

TEST(BoardFile, WrongTypesAndRanges) {
    const std::string uart = "[[cable]]\nname = \"a\"\n[[cable.device]]\n[[cable.device.uart]]\n";
    EXPECT_EQ(parse_error(uart + "rx_fifo = 0\n"), "lab.toml:5: 'rx_fifo' must be from 1 to 65536");
    EXPECT_EQ(parse_error(uart + "tx_fifo = 65537\n"), "lab.toml:5: 'tx_fifo' must be from 1 to 65536");
    EXPECT_EQ(parse_error(uart + "rx_fifo = \"64\"\n"), "lab.toml:5: 'rx_fifo' must be an integer");
    EXPECT_EQ(parse_error(uart + "compatible = 1\n"), "lab.toml:5: 'compatible' must be true or false");
    EXPECT_EQ(parse_error("[[cable]]\nname = \"a\"\nsupport = 4294967296\n"),
              "lab.toml:3: 'support' must be from -2147483648 to 2147483647");
    EXPECT_EQ(parse_error("cable = 3\n"), "lab.toml:1: 'cable' must be an array of tables ([[...]])");
}

TEST(BoardFile, TargetSettingsAreChecked) {
    const std::string uart = "[[cable]]\nname = \"a\"\n[[cable.device]]\n[[cable.device.uart]]\n";
    EXPECT_EQ(parse_error(uart + "target = \"shell\"\n"),
              "lab.toml:5: unknown target 'shell' (demo, loopback, exec, tcp or serial)");
    EXPECT_EQ(parse_error(uart + "target = \"exec\"\n"), "lab.toml:4: an exec target needs a non-empty 'command'");
    EXPECT_EQ(parse_error(uart + "target = \"exec\"\ncommand = \"\"\n"),
              "lab.toml:6: an exec target needs a non-empty 'command'");
    EXPECT_EQ(parse_error(uart + "command = \"cat\"\n"), "lab.toml:5: 'command' is only for exec targets");
    EXPECT_EQ(parse_error(uart + "listen = \"127.0.0.1:1\"\n"), "lab.toml:5: 'listen' is only for tcp targets");
    const std::string bad_listen = parse_error(uart + "target = \"tcp\"\nlisten = \"nowhere\"\n");
    EXPECT_EQ(bad_listen.rfind("lab.toml:6: 'listen': ", 0), 0u) << bad_listen;
}

TEST(BoardFile, RealChainsTakeAnAdapterAnAddressAndTapFacts) {
    const BoardConfig board = parsed(R"(
[[cable]]
name = "SimJTAG [rbb]"
adapter = "remote_bitbang"
address = "127.0.0.1:4444"
[[cable.device]]
ir_length = 5
[[cable.device]]
[[cable.device]]
idcode = 0x17e01f57
user_instructions = [0x02, 0x22]
rx_fifo = 16
tx_fifo = 255
[[cable]]
name = "SimJTAG [tcl]"
adapter = "openocd"
address = "[::1]:6666"
)");
    ASSERT_EQ(board.cables.size(), 2u);
    const CableConfig& direct = board.cables[0];
    EXPECT_EQ(direct.adapter, "remote_bitbang");
    EXPECT_EQ(direct.adapter_host, "127.0.0.1");
    EXPECT_EQ(direct.adapter_port, 4444u);
    EXPECT_TRUE(direct.devices.empty());
    ASSERT_EQ(direct.jtag_devices.size(), 3u);
    EXPECT_EQ(direct.jtag_devices[0].ir_length, 5u);
    EXPECT_FALSE(direct.jtag_devices[0].idcode.has_value());
    // A device table may give no fact at all: everything is probed.
    EXPECT_EQ(direct.jtag_devices[1].ir_length, 0u);
    EXPECT_FALSE(direct.jtag_devices[1].idcode.has_value());
    EXPECT_TRUE(direct.jtag_devices[1].user_instructions.empty());
    EXPECT_EQ(direct.jtag_devices[1].rx_fifo, 64u);
    EXPECT_EQ(direct.jtag_devices[2].ir_length, 0u);  // probed
    EXPECT_EQ(direct.jtag_devices[2].idcode, 0x17e01f57u);
    EXPECT_EQ(direct.jtag_devices[2].user_instructions, (std::vector<unsigned>{0x02, 0x22}));
    EXPECT_EQ(direct.jtag_devices[2].rx_fifo, 16u);
    EXPECT_EQ(direct.jtag_devices[2].tx_fifo, 255u);
    EXPECT_EQ(board.cables[1].adapter, "openocd");
    EXPECT_EQ(board.cables[1].adapter_host, "::1");
    EXPECT_EQ(board.cables[1].adapter_port, 6666u);

    const std::string cable = "[[cable]]\nname = \"a\"\n";
    const std::string real = cable + "adapter = \"openocd\"\naddress = \"127.0.0.1:6666\"\n";
    const std::pair<std::string, std::string> refused[] = {
        {cable + "adapter = \"usb\"\naddress = \"127.0.0.1:1\"\n",
         "lab.toml:3: unknown adapter 'usb' (remote_bitbang or openocd)"},
        {cable + "address = \"127.0.0.1:1\"\n",
         "lab.toml:3: 'address' is for a cable with an 'adapter'"},
        {cable + "adapter = \"openocd\"\n",
         "lab.toml:1: a cable with adapter \"openocd\" needs an 'address' (HOST:PORT of a running OpenOCD's TCL "
         "port) or 'openocd_config' (the files of an OpenOCD the server starts)"},
        {cable + "adapter = \"remote_bitbang\"\n",
         "lab.toml:1: a cable with an adapter needs an 'address' (HOST:PORT)"},
        {cable + "adapter = \"openocd\"\naddress = \"127.0.0.1:0\"\n",
         "lab.toml:4: 'address': the port must not be 0"},
        {real + "[[cable.device]]\n[[cable.device.uart]]\n",
         "lab.toml:6: a cable with an adapter finds its JTAG UARTs by scanning; for a TAP without a "
         "descriptor give 'user_instructions'"},
        {real + "[[cable.device]]\nir_length = 1\n",
         "lab.toml:6: 'ir_length' must be from 2 to 32"},
        {real + "[[cable.device]]\nir_length = 33\n",
         "lab.toml:6: 'ir_length' must be from 2 to 32"},
        {real + "[[cable.device]]\nrx_fifo = 256\n",
         "lab.toml:6: 'rx_fifo' must be from 1 to 255"},
        {real + "[[cable.device]]\ntx_fifo = 0\n",
         "lab.toml:6: 'tx_fifo' must be from 1 to 255"},
        {real + "[[cable.device]]\nidcode = -1\n",
         "lab.toml:6: 'idcode' must be from 0 to 4294967295"},
        {real + "[[cable.device]]\nidcode = 0x100000000\n",
         "lab.toml:6: 'idcode' must be from 0 to 4294967295"},
        {real + "[[cable.device]]\ntarget = \"demo\"\n",
         "lab.toml:6: unknown key 'target' in a device"},
        {real + "[[cable.device]]\nuser_instructions = 2\n",
         "lab.toml:6: 'user_instructions' must be an array of integers, e.g. [0x02]"},
        {real + "[[cable.device]]\nuser_instructions = [\n  0x02,\n  -1,\n]\n",
         "lab.toml:8: 'user_instructions' must hold integers from 0 to 0xFFFFFFFF"},
        {real + "[[cable.device]]\nuser_instructions = [0x02, \"0x03\"]\n",
         "lab.toml:6: 'user_instructions' must hold integers from 0 to 0xFFFFFFFF"},
        // The facts of a TAP are for real chains only.
        {cable + "[[cable.device]]\nir_length = 6\n",
         "lab.toml:4: unknown key 'ir_length' in a device of a simulated cable"},
    };
    for (const auto& [text, message] : refused)
        EXPECT_EQ(parse_error(text), message) << text;
    EXPECT_EQ(parse_error(cable + "adapter = \"openocd\"\naddress = \"127.0.0.1\"\n").rfind("lab.toml:4: 'address': ", 0),
              0u);
    for (const char* key : {"plugged", "powered", "board"}) {
        EXPECT_EQ(parse_error(real + key + " = true\n"),
                  std::string("lab.toml:5: '") + key +
                      "' is for simulated cables: a real chain is plugged in and powered when its adapter and its "
                      "board are");
    }
    // An instruction the TAP cannot take, or one given twice, would select
    // another register: refused where it stands.
    const std::string device = real + "[[cable.device]]\n";
    const struct {
        std::string keys, error;
    } refused_instructions[] = {
        {"ir_length = 6\nuser_instructions = [0x02, 0x40]\n",
         "lab.toml:7: 'user_instructions': 0x40 does not fit an IR of 6 bits ('ir_length' of this device)"},
        {"user_instructions = [\n  0x3f,\n]\nir_length = 6\n",
         "lab.toml:7: 'user_instructions': 0x3f is BYPASS (all ones) in an IR of 6 bits ('ir_length' of this "
         "device)"},
        {"ir_length = 32\nuser_instructions = [0xFFFFFFFF]\n",
         "lab.toml:7: 'user_instructions': 0xffffffff is BYPASS (all ones) in an IR of 32 bits ('ir_length' of "
         "this device)"},
        {"user_instructions = [0x22, 0x02, 0x22]\n", "lab.toml:6: 'user_instructions': 0x22 is given twice"},
        {"ir_length = 8\nuser_instructions = [0x32,\n  0x32]\n",
         "lab.toml:8: 'user_instructions': 0x32 is given twice"},
    };
    for (const auto& one : refused_instructions)
        EXPECT_EQ(parse_error(device + one.keys), one.error) << one.keys;
    // Without an ir_length they are checked against the chain when it is found.
    const BoardConfig unchecked = parsed(device + "user_instructions = [0x02,\n  0xFFFFFFFF]\n");
    ASSERT_EQ(unchecked.cables.size(), 1u);
    EXPECT_EQ(unchecked.cables[0].jtag_devices[0].user_instruction_places,
              (std::vector<std::string>{"lab.toml:6", "lab.toml:7"}));
    parsed(device + "ir_length = 6\nuser_instructions = [0x3e]\n");
}

TEST(BoardFile, AnOpenOcdOfTheServersOwnTakesItsFilesCommandsProgramAndPorts) {
    const std::filesystem::path dir = std::filesystem::temp_directory_path() / "board-file-openocd-test";
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "my-board.cfg") << "jtag newtap fpga tap -irlen 6\n";
    const std::string source = (dir / "lab.toml").string();
    const BoardConfig board = parsed(R"(
[[cable]]
name = "supervised"
adapter = "openocd"
openocd_config = ["interface/ftdi/cable.cfg", "my-board.cfg", "/etc/openocd/x.cfg"]
openocd_commands = ["adapter speed 1000"]
openocd_executable = "/opt/openocd/bin/openocd"
openocd_telnet_port = 4444
openocd_gdb_port = 3333
[[cable]]
name = "plain"
adapter = "openocd"
openocd_config = ["board.cfg"]
)", source);
    ASSERT_EQ(board.cables.size(), 2u);
    ASSERT_TRUE(board.cables[0].openocd.has_value());
    const OpenOcdSettings& own = *board.cables[0].openocd;
    // A file beside the board file is found there; others are OpenOCD's to find.
    EXPECT_EQ(own.config_files, (std::vector<std::string>{"interface/ftdi/cable.cfg", (dir / "my-board.cfg").string(),
                                                          "/etc/openocd/x.cfg"}));
    EXPECT_EQ(own.commands, std::vector<std::string>{"adapter speed 1000"});
    EXPECT_EQ(own.executable, "/opt/openocd/bin/openocd");
    EXPECT_EQ(own.telnet_port, 4444u);
    EXPECT_EQ(own.gdb_port, 3333u);
    EXPECT_EQ(board.cables[0].adapter_host, "127.0.0.1");
    const OpenOcdSettings& plain = *board.cables[1].openocd;
    EXPECT_EQ(plain.executable, "openocd");
    EXPECT_TRUE(plain.commands.empty());
    EXPECT_EQ(plain.telnet_port, 0u);
    EXPECT_EQ(plain.gdb_port, 0u);
    std::filesystem::remove_all(dir);

    const std::string cable = "[[cable]]\nname = \"a\"\nadapter = \"openocd\"\n";
    const std::string own_config = cable + "openocd_config = [\"b.cfg\"]\n";
    const struct {
        std::string text;
        std::string error;
    } refused[] = {
        {cable + "address = \"127.0.0.1:6666\"\nopenocd_config = [\"b.cfg\"]\n",
         "lab.toml:5: 'openocd_config' and 'address' exclude each other: 'address' names an OpenOCD that runs "
         "already, 'openocd_config' one the server starts"},
        {"[[cable]]\nname = \"a\"\nadapter = \"remote_bitbang\"\naddress = \"127.0.0.1:1\"\n"
         "openocd_config = [\"b.cfg\"]\n",
         "lab.toml:5: 'openocd_config' is for a cable with adapter = \"openocd\""},
        {"[[cable]]\nname = \"a\"\nopenocd_config = [\"b.cfg\"]\n",
         "lab.toml:3: 'openocd_config' is for a cable with adapter = \"openocd\""},
        {cable + "address = \"127.0.0.1:6666\"\nopenocd_gdb_port = 3333\n",
         "lab.toml:5: 'openocd_gdb_port' and 'address' exclude each other: 'address' names an OpenOCD that runs "
         "already, 'openocd_config' one the server starts"},
        {cable + "openocd_commands = [\"init\"]\n", "lab.toml:4: 'openocd_commands' needs 'openocd_config'"},
        {cable + "openocd_config = []\n", "lab.toml:4: 'openocd_config' must name at least one file"},
        {cable + "openocd_config = \"b.cfg\"\n",
         "lab.toml:4: 'openocd_config' must be an array of strings, e.g. [\"board.cfg\"]"},
        {cable + "openocd_config = [\n  \"b.cfg\",\n  \"\",\n]\n",
         "lab.toml:6: 'openocd_config' must hold strings that are not empty"},
        {own_config + "openocd_commands = [1]\n", "lab.toml:5: 'openocd_commands' must hold strings that are not empty"},
        {own_config + "openocd_executable = \"\"\n", "lab.toml:5: 'openocd_executable' must not be empty"},
        {own_config + "openocd_executable = 1\n", "lab.toml:5: 'openocd_executable' must be a string"},
        {own_config + "openocd_telnet_port = 0\n", "lab.toml:5: 'openocd_telnet_port' must be from 1 to 65535"},
        {own_config + "openocd_gdb_port = 65536\n", "lab.toml:5: 'openocd_gdb_port' must be from 1 to 65535"},
        {own_config + "powered = true\n",
         "lab.toml:5: 'powered' is for simulated cables: a real chain is plugged in and powered when its adapter and "
         "its board are"},
    };
    for (const auto& each : refused)
        EXPECT_EQ(parse_error(each.text), each.error) << each.text;
}

TEST(BoardFile, SerialTargetsTakeADeviceARateAndAFlowControl) {
    BoardConfig board;
    std::string error;
    const std::string uart = "[[cable]]\nname = \"a\"\n[[cable.device]]\n[[cable.device.uart]]\n";
    ASSERT_TRUE(parse_board(uart + "target = \"serial\"\ndevice = \"/dev/not-there-yet\"\n", "lab.toml", board,
                            error))
        << error;
    const TargetSettings& plain = board.cables.at(0).devices.at(0).uarts.at(0).settings;
    EXPECT_EQ(plain.text("device"), "/dev/not-there-yet");
    EXPECT_EQ(plain.number("baud"), 115200);
    EXPECT_EQ(plain.text("flow"), "none");
    const std::string fast = "target = \"serial\"\ndevice = \"/dev/null\"\nbaud = 4000000\nflow = \"rts/cts\"\n";
    ASSERT_TRUE(parse_board(uart + fast, "lab.toml", board, error))
        << error;
    EXPECT_EQ(board.cables.at(0).devices.at(0).uarts.at(0).settings.number("baud"), 4000000);

    const std::string serial = uart + "target = \"serial\"\n";
    EXPECT_EQ(parse_error(serial), "lab.toml:4: a serial target needs a 'device'");
    EXPECT_EQ(parse_error(serial + "device = \"\"\n"), "lab.toml:6: a serial target needs a 'device'");
    EXPECT_EQ(parse_error(serial + "device = \"dev/ttyUSB0\"\n"),
              "lab.toml:6: 'device': \"dev/ttyUSB0\" is not an absolute path (like \"/dev/ttyUSB0\")");
    EXPECT_EQ(parse_error(serial + "device = \"/dev\"\n"), "lab.toml:6: 'device': \"/dev\" is not a character device");
    const std::string rate = parse_error(serial + "device = \"/dev/ttyUSB0\"\nbaud = 123\n");
    EXPECT_EQ(rate.rfind("lab.toml:7: 'baud': 123 is not a standard rate (50, 75, 110, ", 0), 0u) << rate;
    EXPECT_NE(rate.find(", 115200, "), std::string::npos) << rate;
    const std::string negative = parse_error(serial + "device = \"/dev/ttyUSB0\"\nbaud = -9600\n");
    EXPECT_EQ(negative.rfind("lab.toml:7: 'baud': -9600 is not a standard rate", 0), 0u) << negative;
    EXPECT_EQ(parse_error(serial + "device = \"/dev/ttyUSB0\"\nflow = \"xon/xoff\"\n"),
              "lab.toml:7: 'flow': \"xon/xoff\" is not \"none\" or \"rts/cts\"");
    EXPECT_EQ(parse_error(uart + "baud = 9600\n"), "lab.toml:5: 'baud' is only for serial targets");
}

TEST(BoardFile, ASerialDeviceThatIsARegularFileIsRefusedWithFileAndLine) {
    // The board file itself as the device.
    const std::string path = (std::filesystem::path(testing::TempDir()) / "serial-self.toml").string();
    std::ofstream(path) << "[[cable]]\nname = \"a\"\n[[cable.device]]\n[[cable.device.uart]]\n"
                           "target = \"serial\"\ndevice = \"" << path << "\"\n";
    BoardConfig board;
    std::string error;
    EXPECT_FALSE(load_board_file(path, board, error));
    EXPECT_EQ(error, path + ":6: 'device': \"" + path + "\" is not a character device");
    std::filesystem::remove(path);
}

TEST(BoardFile, CablesNeedUniqueNonEmptyNames) {
    EXPECT_EQ(parse_error("[[cable]]\nplugged = true\n"), "lab.toml:1: a cable needs a 'name'");
    EXPECT_EQ(parse_error("[[cable]]\nname = \"\"\n"), "lab.toml:2: a cable's name must not be empty");
    EXPECT_EQ(parse_error("[[cable]]\nname = \"a\"\n[[cable]]\nname = \"a\"\n"),
              "lab.toml:3: a second cable named \"a\"");
}

// Found by fuzzing: the TOML reader's white-space check has undefined
// behaviour for U+00A1..U+0499, U+2C5E..U+3057 (but U+3000, CJK punctuation
// among them) and U+FB26..U+FEFE (a bare key, a value, a continued string,
// leading white space).
TEST(BoardFile, CharactersTheTomlReaderCannotCheckAreRefusedWithTheirLine) {
    BoardConfig board;
    std::string error;
    for (const char* text : {"[[cable]]\nname = \"x\"\ncaf\xc3\xa9 = 1\n",
                             "[[cable]]\nname = \"x\"\nsupport = 1\xc3\xa9\n",
                             "[[cable]]\nname = \"\"\"a\\\n   \xc3\xa9\"\"\"\n",
                             "# \xce\xa2\n\n\n[[cable]]\nname = \"x" "\xd2\x99\"\n",
                             "\xef\xbb\xaf [[cable]]\nname = \"x\"\n",
                             "[[cable]]\nname = \"\xef\xac\xa6\"\n",
                             "[[cable]]\nname = \"\xe3\x80\x90lab\xe3\x80\x91\"\n",
                             "[[cable]]\nname = \"x\"\ne0\xe3\x80\x90# i\n",
                             "[[cable]]\nname = \"\xe2\xb1\x9e\"\n",
                             "[[cable]]\nname = \"\xe3\x81\x97\"\n"}) {
        EXPECT_FALSE(parse_board(text, "lab.toml", board, error)) << text;
        EXPECT_NE(error.find("lab.toml:"), std::string::npos) << error;
        EXPECT_NE(error.find("cannot be read here; write it as \\u"), std::string::npos) << error;
    }
    EXPECT_FALSE(parse_board("[[cable]]\nname = \"x\"\ncaf\xc3\xa9 = 1\n", "lab.toml", board, error));
    EXPECT_EQ(error, "lab.toml:3: the character U+00E9 cannot be read here; write it as \\u00E9 inside a "
                     "double-quoted string");
    // Just outside the ranges, the ideographic space, and the escape, are
    // read as usual.
    ASSERT_TRUE(parse_board("[[cable]]\nname = \"\xc2\xa0" "Caf\\u00E9 \xd2\x9a \xef\xac\xa5 \xe2\xb1\x9d \xe3\x80\x80 "
                            "\xe3\x81\x98 \\u3010\"\n",
                            "lab.toml", board, error))
        << error;
    EXPECT_EQ(board.cables.at(0).name,
              "\xc2\xa0" "Caf\xc3\xa9 \xd2\x9a \xef\xac\xa5 \xe2\xb1\x9d \xe3\x80\x80 \xe3\x81\x98 \xe3\x80\x90");
}

// Every character of the Basic Multilingual Plane in a cable's name is
// either read back as it was or refused with the way to write it; under the
// sanitizers a character the check lets through to the reader's undefined
// behaviour stops the test.
TEST(BoardFile, EveryCharacterInANameIsReadBackOrRefused) {
    BoardConfig board;
    std::string error;
    std::size_t refused = 0;
    for (unsigned code = 0x80; code <= 0xFFFF; ++code) {
        if (code >= 0xD800 && code <= 0xDFFF)
            continue;
        std::string utf8;
        if (code < 0x800) {
            utf8 = {static_cast<char>(0xC0 | code >> 6), static_cast<char>(0x80 | (code & 0x3F))};
        } else {
            utf8 = {static_cast<char>(0xE0 | code >> 12), static_cast<char>(0x80 | (code >> 6 & 0x3F)),
                    static_cast<char>(0x80 | (code & 0x3F))};
        }
        if (parse_board("[[cable]]\nname = \"a" + utf8 + "\"\n", "lab.toml", board, error)) {
            ASSERT_EQ(board.cables.at(0).name, "a" + utf8) << std::hex << code;
        } else {
            ASSERT_NE(error.find("cannot be read here; write it as \\u"), std::string::npos) << std::hex << code;
            ++refused;
        }
    }
    // The three ranges the reader cannot check, and nothing else.
    EXPECT_EQ(refused, (0x499u - 0xA1 + 1) + (0x3057u - 0x2C5E + 1 - 1) + (0xFEFEu - 0xFB26 + 1));
}

TEST(BoardFile, MissingFileIsNamed) {
    BoardConfig board;
    std::string error;
    EXPECT_FALSE(load_board_file("/nonexistent/board.toml", board, error));
    EXPECT_EQ(error, "/nonexistent/board.toml: cannot open the board file");
}
