// The fixed identifiers that the program's invariant checks and aborts print:
// expression texts, source paths and line numbers. They are fixed message
// texts that users and their tools see, not the files and lines of this tree.
#pragma once

namespace tolvan::diagnostic {

/// Where a failed check or an abort says it is.
struct place {
    const char* source;
    int line;
};

/// An invariant: the expression text its failure report shows, and where.
struct invariant {
    const char* expression;
    place where;
};

// Argument processing, the option table and the usage text.
inline constexpr invariant option_row_is_letter{
    "(isalpha (longopts[i].val) || longopts[i].val == 0) && !longopts[i].flag", {"cmdline/process-args.cpp", 1089}};
inline constexpr invariant short_options_not_empty{"string_length >= 1", {"cmdline/process-args.cpp", 1112}};
inline constexpr invariant quit_after_not_negative{"quit_after_secs >= 0", {"cmdline/process-args.cpp", 45}};
inline constexpr invariant no_illegal_option{"!illegal_option", {"cmdline/process-args.cpp", 216}};
inline constexpr place unknown_gmon_row{"cmdline/process-args.cpp", 845};
inline constexpr place unknown_option_result{"cmdline/process-args.cpp", 850};

// The profile capture.
inline constexpr place gmon_file_not_opened{"relay/write-gmon.cpp", 111};

// The console channel.
inline constexpr invariant stdin_handle_at_construction{"hStdin != INVALID_HANDLE_VALUE", {"channels/console-io.cpp", 60}};
inline constexpr invariant stdin_handle_at_restore{"hStdin != INVALID_HANDLE_VALUE", {"channels/console-io.cpp", 131}};
inline constexpr invariant stdin_handle_in_reader{"hStdin != INVALID_HANDLE_VALUE", {"channels/console-io.cpp", 212}};
inline constexpr invariant console_opened_at_teardown{"m_opened", {"channels/console-io.cpp", 146}};
inline constexpr invariant console_opened_at_read{"m_opened", {"channels/console-io.cpp", 239}};
inline constexpr invariant console_opened_at_write{"m_opened", {"channels/console-io.cpp", 287}};

}  // namespace tolvan::diagnostic
