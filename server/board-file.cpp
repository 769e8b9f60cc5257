// Board files: TOML read with toml++, checked strictly (unknown keys, wrong
// types and out-of-range values are errors naming file and line).
#include "server/board.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include <toml++/toml.h>

#include "jtag/chain-probe.h"
#include "server/target-kinds.h"
#include "wire/address.h"

namespace {

std::string hex(unsigned value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%02x", value);
    return text;
}

struct CHECKER {
    const std::string& source;
    std::string& error;

    bool fail(const toml::node& node, const std::string& problem) {
        error = source + ":" + std::to_string(node.source().begin.line) + ": " + problem;
        return false;
    }

    bool only_keys(const toml::table& table, const std::vector<std::string_view>& keys, const char* what) {
        for (const auto& [key, value] : table) {
            bool known = false;
            for (std::string_view allowed : keys)
                known = known || key.str() == allowed;
            if (!known)
                return fail(value, "unknown key '" + std::string(key.str()) + "' in " + what);
        }
        return true;
    }

    /// Reads `key` when it is given, of the type that `value` holds; `where`
    /// is its node, or null when it is not given.
    bool get(const toml::table& table, const char* key, TargetValue& value, const toml::node*& where) {
        where = table.get(key);
        if (where == nullptr)
            return true;
        const std::string name = std::string("'") + key + "'";
        if (std::holds_alternative<bool>(value)) {
            if (!where->is_boolean())
                return fail(*where, name + " must be true or false");
            value = where->as_boolean()->get();
        } else if (std::holds_alternative<std::int64_t>(value)) {
            if (!where->is_integer())
                return fail(*where, name + " must be an integer");
            value = where->as_integer()->get();
        } else {
            if (!where->is_string())
                return fail(*where, name + " must be a string");
            value = where->as_string()->get();
        }
        return true;
    }

    bool get_bool(const toml::table& table, const char* key, bool& value) {
        TargetValue given = value;
        const toml::node* where = nullptr;
        if (!get(table, key, given, where))
            return false;
        value = std::get<bool>(given);
        return true;
    }

    bool get_int(const toml::table& table, const char* key, std::int64_t low, std::int64_t high, std::int64_t& value) {
        TargetValue given = value;
        const toml::node* where = nullptr;
        if (!get(table, key, given, where))
            return false;
        if (where == nullptr)
            return true;  // not given: the caller's own value stands
        const std::int64_t number = std::get<std::int64_t>(given);
        if (number < low || number > high)
            return fail(*where, std::string("'") + key + "' must be from " + std::to_string(low) + " to " +
                                    std::to_string(high));
        value = number;
        return true;
    }

    bool get_string(const toml::table& table, const char* key, std::string& value, const toml::node*& where) {
        TargetValue given = value;
        if (!get(table, key, given, where))
            return false;
        value = std::get<std::string>(given);
        return true;
    }

    const toml::array* get_tables(const toml::table& table, const char* key, bool& ok) {
        const toml::node* node = table.get(key);
        ok = true;
        if (node == nullptr)
            return nullptr;
        const toml::array* array = node->as_array();
        if (array == nullptr || !array->is_array_of_tables()) {
            ok = fail(*node, std::string("'") + key + "' must be an array of tables ([[...]])");
            return nullptr;
        }
        return array;
    }

    bool uart(const toml::table& table, UartConfig& uart) {
        std::vector<std::string_view> keys{"compatible", "rx_fifo", "tx_fifo", "target"};
        for (const TARGET_KIND& kind : target_kinds())
            for (const TARGET_KEY& key : kind.keys)
                keys.push_back(key.name);
        if (!only_keys(table, keys, "a uart"))
            return false;
        std::int64_t rx = uart.rx_fifo;
        std::int64_t tx = uart.tx_fifo;
        const toml::node* target_node = nullptr;
        if (!get_bool(table, "compatible", uart.compatible) || !get_int(table, "rx_fifo", k_min_fifo, k_max_fifo, rx) ||
            !get_int(table, "tx_fifo", k_min_fifo, k_max_fifo, tx) ||
            !get_string(table, "target", uart.target, target_node))
            return false;
        uart.rx_fifo = static_cast<std::uint32_t>(rx);
        uart.tx_fifo = static_cast<std::uint32_t>(tx);

        // The kinds' own keys: the types of all that are given, then the
        // target's kind, the keys it needs, the keys it does not take, and
        // the checks of its own.
        struct GIVEN {
            const TARGET_KEY* key;
            const toml::node* where;
            TargetValue value;
        };
        std::vector<GIVEN> given;
        for (const TARGET_KIND& kind : target_kinds()) {
            for (const TARGET_KEY& key : kind.keys) {
                TargetValue value = key.fallback;
                const toml::node* where = nullptr;
                if (!get(table, key.name, value, where))
                    return false;
                if (where != nullptr)
                    given.push_back({&key, where, value});
            }
        }
        const TARGET_KIND* kind = find_target_kind(uart.target);
        if (kind == nullptr)
            return fail(*target_node, "unknown target '" + uart.target + "' (" + target_kind_names() + ")");
        for (const TARGET_KEY& key : kind->keys) {
            const GIVEN* own = nullptr;
            for (const GIVEN& one : given)
                if (one.key == &key)
                    own = &one;
            const TargetValue& value = own != nullptr ? own->value : key.fallback;
            const std::string* text = std::get_if<std::string>(&value);
            if (*key.missing != '\0' && (own == nullptr || (text != nullptr && text->empty())))
                return fail(own != nullptr ? *own->where : static_cast<const toml::node&>(table), key.missing);
            uart.settings.set(key.name, value);
        }
        for (const GIVEN& one : given) {
            if (!kind->takes(one.key->name))
                return fail(*one.where, std::string("'") + one.key->name + "' is only for " +
                                            target_kind_names(one.key->name) + " targets");
        }
        for (const GIVEN& one : given) {
            const std::string problem = one.key->check != nullptr ? one.key->check(one.value) : std::string();
            if (!problem.empty())
                return fail(*one.where, std::string("'") + one.key->name + "': " + problem);
        }
        return true;
    }

    /// A device of a real chain: facts that cannot be probed.
    bool jtag_device(const toml::table& table, JtagDeviceHint& hint) {
        if (table.get("uart") != nullptr)
            return fail(*table.get("uart"), "a cable with an adapter finds its JTAG UARTs by scanning; for a TAP "
                                            "without a descriptor give 'user_instructions'");
        if (!only_keys(table, {"ir_length", "idcode", "user_instructions", "rx_fifo", "tx_fifo"}, "a device"))
            return false;
        std::int64_t ir_length = 0;
        std::int64_t idcode = -1;
        std::int64_t rx = hint.rx_fifo;
        std::int64_t tx = hint.tx_fifo;
        if (!get_int(table, "ir_length", 2, 32, ir_length) || !get_int(table, "idcode", 0, 0xFFFFFFFF, idcode) ||
            !get_int(table, "rx_fifo", 1, 255, rx) || !get_int(table, "tx_fifo", 1, 255, tx))
            return false;
        hint.ir_length = static_cast<unsigned>(ir_length);
        if (idcode >= 0)
            hint.idcode = static_cast<std::uint32_t>(idcode);
        hint.rx_fifo = static_cast<std::uint32_t>(rx);
        hint.tx_fifo = static_cast<std::uint32_t>(tx);
        if (const toml::node* node = table.get("user_instructions")) {
            const toml::array* list = node->as_array();
            if (list == nullptr)
                return fail(*node, "'user_instructions' must be an array of integers, e.g. [0x02]");
            for (const toml::node& item : *list) {
                const auto* value = item.as_integer();
                if (value == nullptr || value->get() < 0 || value->get() > 0xFFFFFFFF)
                    return fail(item, "'user_instructions' must hold integers from 0 to 0xFFFFFFFF");
                const auto instruction = static_cast<unsigned>(value->get());
                // A value the TAP cannot take would select another register
                // (BYPASS), and a UART scan through it fails the whole cable.
                if (std::find(hint.user_instructions.begin(), hint.user_instructions.end(), instruction) !=
                    hint.user_instructions.end())
                    return fail(item, "'user_instructions': " + hex(instruction) + " is given twice");
                const std::string problem =
                    hint.ir_length > 0 ? jtag::user_instruction_problem(instruction, hint.ir_length) : std::string();
                if (!problem.empty())
                    return fail(item, "'user_instructions': " + problem + " ('ir_length' of this device)");
                hint.user_instructions.push_back(instruction);
                hint.user_instruction_places.push_back(source + ":" + std::to_string(item.source().begin.line));
            }
        }
        return true;
    }

    /// A list of texts, each not empty; `where` is its node, or null when not given.
    bool get_texts(const toml::table& table, const char* key, std::vector<std::string>& texts,
                   const toml::node*& where) {
        where = table.get(key);
        if (where == nullptr)
            return true;
        const std::string name = std::string("'") + key + "'";
        const toml::array* list = where->as_array();
        if (list == nullptr)
            return fail(*where, name + " must be an array of strings, e.g. [\"board.cfg\"]");
        for (const toml::node& item : *list) {
            const auto* text = item.as_string();
            if (text == nullptr || text->get().empty())
                return fail(item, name + " must hold strings that are not empty");
            texts.push_back(text->get());
        }
        return true;
    }

    /// An OpenOCD the server starts: its configuration files, commands,
    /// program and the ports it may open besides its TCL port.
    bool openocd(const toml::table& table, const std::string& adapter, const toml::node* address_node,
                 CableConfig& cable) {
        const char* const keys[] = {"openocd_config", "openocd_commands", "openocd_executable", "openocd_telnet_port",
                                    "openocd_gdb_port"};
        const toml::node* config_node = table.get("openocd_config");
        for (const char* key : keys) {
            const toml::node* node = table.get(key);
            if (node == nullptr)
                continue;
            if (adapter != "openocd")
                return fail(*node, std::string("'") + key + "' is for a cable with adapter = \"openocd\"");
            if (address_node != nullptr)
                return fail(*node, std::string("'") + key + "' and 'address' exclude each other: 'address' names "
                                   "an OpenOCD that runs already, 'openocd_config' one the server starts");
            if (config_node == nullptr)
                return fail(*node, std::string("'") + key + "' needs 'openocd_config'");
        }
        if (config_node == nullptr)
            return true;
        OpenOcdSettings settings;
        const toml::node* where = nullptr;
        if (!get_texts(table, "openocd_config", settings.config_files, where) ||
            !get_texts(table, "openocd_commands", settings.commands, where) ||
            !get_string(table, "openocd_executable", settings.executable, where))
            return false;
        if (settings.config_files.empty())
            return fail(*config_node, "'openocd_config' must name at least one file");
        if (where != nullptr && settings.executable.empty())
            return fail(*where, "'openocd_executable' must not be empty");
        std::int64_t telnet = 0;
        std::int64_t gdb = 0;
        if (!get_int(table, "openocd_telnet_port", 1, 65535, telnet) ||
            !get_int(table, "openocd_gdb_port", 1, 65535, gdb))
            return false;
        settings.telnet_port = static_cast<std::uint16_t>(telnet);
        settings.gdb_port = static_cast<std::uint16_t>(gdb);
        // A file beside the board file is meant, when there is one: the
        // server may run in another folder. Otherwise OpenOCD looks in its
        // own script folders (interface/ftdi/...).
        const std::filesystem::path folder = std::filesystem::path(source).parent_path();
        for (std::string& file : settings.config_files) {
            const std::filesystem::path path(file);
            std::error_code ignored;
            if (path.is_relative() && !folder.empty() && std::filesystem::is_regular_file(folder / path, ignored))
                file = (folder / path).string();
        }
        cable.openocd = std::move(settings);
        return true;
    }

    /// `adapter` and `address` of a real chain.
    bool adapter(const toml::table& table, CableConfig& cable) {
        const toml::node* adapter_node = nullptr;
        const toml::node* address_node = nullptr;
        std::string address;
        if (!get_string(table, "adapter", cable.adapter, adapter_node) ||
            !get_string(table, "address", address, address_node) ||
            !openocd(table, cable.adapter, address_node, cable))
            return false;
        if (adapter_node == nullptr) {
            if (address_node != nullptr)
                return fail(*address_node, "'address' is for a cable with an 'adapter'");
            return true;
        }
        if (cable.adapter != "remote_bitbang" && cable.adapter != "openocd")
            return fail(*adapter_node, "unknown adapter '" + cable.adapter + "' (remote_bitbang or openocd)");
        if (address_node == nullptr && !cable.openocd)
            return fail(table, cable.adapter == "openocd"
                                   ? "a cable with adapter \"openocd\" needs an 'address' (HOST:PORT of a running "
                                     "OpenOCD's TCL port) or 'openocd_config' (the files of an OpenOCD the server "
                                     "starts)"
                                   : "a cable with an adapter needs an 'address' (HOST:PORT)");
        for (const char* key : {"plugged", "powered", "board"}) {
            if (const toml::node* node = table.get(key))
                return fail(*node, std::string("'") + key +
                                       "' is for simulated cables: a real chain is plugged in and powered when "
                                       "its adapter and its board are");
        }
        if (cable.openocd) {
            cable.adapter_host = "127.0.0.1";  // its TCL port is chosen at each start
            return true;
        }
        wire::ServerAddress where;
        std::string problem;
        if (!wire::parse_address(address, where, problem) || where.port == 0)
            return fail(*address_node, "'address': " + (problem.empty() ? "the port must not be 0" : problem));
        cable.adapter_host = where.host;
        cable.adapter_port = where.port;
        return true;
    }

    bool cable(const toml::table& table, CableConfig& cable) {
        if (!only_keys(table, {"name", "plugged", "powered", "board", "support", "device", "adapter", "address",
                                   "openocd_config", "openocd_commands", "openocd_executable", "openocd_telnet_port",
                                   "openocd_gdb_port"},
                       "a cable"))
            return false;
        const toml::node* name_node = nullptr;
        std::int64_t support = 0;
        if (!get_string(table, "name", cable.name, name_node) || !get_bool(table, "plugged", cable.plugged) ||
            !get_bool(table, "powered", cable.powered) || !get_bool(table, "board", cable.has_board) ||
            !get_int(table, "support", INT32_MIN, INT32_MAX, support) || !adapter(table, cable))
            return false;
        cable.support = static_cast<std::int32_t>(support);
        if (name_node == nullptr)
            return fail(table, "a cable needs a 'name'");
        if (cable.name.empty())
            return fail(*name_node, "a cable's name must not be empty");
        bool ok = true;
        const toml::array* devices = get_tables(table, "device", ok);
        if (devices == nullptr)
            return ok;
        for (const toml::node& node : *devices) {
            const toml::table& device_table = *node.as_table();
            if (!cable.adapter.empty()) {
                JtagDeviceHint hint;
                if (!jtag_device(device_table, hint))
                    return false;
                cable.jtag_devices.push_back(std::move(hint));
                continue;
            }
            if (!only_keys(device_table, {"uart"}, "a device of a simulated cable"))
                return false;
            DeviceConfig device;
            const toml::array* uarts = get_tables(device_table, "uart", ok);
            if (!ok)
                return false;
            if (uarts != nullptr) {
                for (const toml::node& uart_node : *uarts) {
                    UartConfig config;
                    if (!uart(*uart_node.as_table(), config))
                        return false;
                    device.uarts.push_back(std::move(config));
                }
            }
            cable.devices.push_back(std::move(device));
        }
        return true;
    }
};

}  // namespace

BoardConfig demo_board() {
    BoardConfig board;
    CableConfig cable;
    cable.name = "SimCable [sim-0]";
    cable.devices.emplace_back();
    cable.devices[0].uarts.emplace_back();
    board.cables.push_back(std::move(cable));
    return board;
}

namespace {

// The TOML reader reaches undefined behaviour when it asks whether a
// character in one of these ranges is white space, which it does outside
// strings, inside them while it records a key's value, and after a
// line-ending backslash: its table sorts U+00A0..U+FEFF into blocks of 1018,
// and four blocks fall through every case but the one white-space character
// each holds (U+00A0, U+3000, U+FEFF). Such characters are refused before
// the text gets there; an escape in a double-quoted string still writes them.
bool unreadable(unsigned code) {
    return (code >= 0xA1 && code <= 0x499) || (code >= 0x2C5E && code <= 0x3057 && code != 0x3000) ||
           (code >= 0xFB26 && code <= 0xFEFE);
}

bool refuse_unreadable_characters(std::string_view text, const std::string& source, std::string& error) {
    int line = 1;
    auto continuation = [&text](std::size_t at) {
        return at < text.size() && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80;
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '\n')
            ++line;
        unsigned code = 0;
        if ((c & 0xE0) == 0xC0 && continuation(i + 1)) {
            code = (c & 0x1Fu) << 6 | (static_cast<unsigned char>(text[i + 1]) & 0x3Fu);
            i += 1;
        } else if ((c & 0xF0) == 0xE0 && continuation(i + 1) && continuation(i + 2)) {
            code = (c & 0x0Fu) << 12 | (static_cast<unsigned char>(text[i + 1]) & 0x3Fu) << 6 |
                   (static_cast<unsigned char>(text[i + 2]) & 0x3Fu);
            i += 2;
        }
        if (unreadable(code)) {
            char name[8];
            std::snprintf(name, sizeof name, "%04X", code);
            error = source + ":" + std::to_string(line) + ": the character U+" + name +
                    " cannot be read here; write it as \\u" + name + " inside a double-quoted string";
            return false;
        }
    }
    return true;
}

}  // namespace

bool parse_board(std::string_view text, const std::string& source, BoardConfig& board, std::string& error) {
    board = BoardConfig{};
    if (!refuse_unreadable_characters(text, source, error))
        return false;
    toml::table root;
    try {
        root = toml::parse(text, source);
    } catch (const toml::parse_error& failure) {
        error = source + ":" + std::to_string(failure.source().begin.line) + ": " + std::string(failure.description());
        return false;
    }
    CHECKER check{source, error};
    if (!check.only_keys(root, {"cable"}, "the board file"))
        return false;
    bool ok = true;
    const toml::array* cables = check.get_tables(root, "cable", ok);
    if (cables == nullptr)
        return ok;
    std::set<std::string> names;
    for (const toml::node& node : *cables) {
        CableConfig cable;
        if (!check.cable(*node.as_table(), cable))
            return false;
        if (!names.insert(cable.name).second)
            return check.fail(node, "a second cable named \"" + cable.name + "\"");
        board.cables.push_back(std::move(cable));
    }
    return true;
}

bool load_board_file(const std::string& path, BoardConfig& board, std::string& error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = path + ": cannot open the board file";
        return false;
    }
    std::ostringstream text;
    text << file.rdbuf();
    return parse_board(text.str(), path, board, error);
}
