// The process-wide settings record, the long-option table, the short-option
// string derived from it and the debug-dump switches.
#include "cmdline/settings.h"

#include <cctype>

#include "cmdline/fatal.h"

namespace tolvan {

Settings settings;

void reset_settings() {
    settings = Settings{};
}

namespace {

bool has_short_form(const option& row) {
    return row.val >= 1 && row.val <= 127;
}

}  // namespace

std::string build_short_options(const option* table) {
    // Rows below 128 must be plain letters (or 0, told apart by their row
    // index): anything else would collide with the string's own ':' and '-'.
    int string_length = 0;
    for (int i = 0; table[i].name != nullptr; ++i) {
        const option& row = table[i];
        if (row.val < 128) {
            bool letter = row.val >= 0 && std::isalpha(row.val) != 0;
            check_invariant((letter || row.val == 0) && row.flag == nullptr, diagnostic::option_row_is_letter);
        }
        if (has_short_form(row)) string_length += row.has_arg == 0 ? 1 : row.has_arg == 1 ? 2 : 3;
    }
    check_invariant(string_length >= 1, diagnostic::short_options_not_empty);

    std::string result;
    result.reserve(static_cast<std::size_t>(string_length) + 1);
    result += '-';
    for (int i = 0; table[i].name != nullptr; ++i) {
        const option& row = table[i];
        if (!has_short_form(row)) continue;
        result += static_cast<char>(row.val);
        if (row.has_arg == 1) result += ':';
        if (row.has_arg == 2) result += "::";
    }
    return result;
}

void set_dump_flags(const std::optional<std::string>& dump_options) {
    if (!dump_options) return;
    for (char c : *dump_options) settings.dump_flags[static_cast<unsigned char>(c)] = 1;
}

}  // namespace tolvan
