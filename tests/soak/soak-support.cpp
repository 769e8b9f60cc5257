// Helpers of the soak and fault tests.
#include "soak-support.h"

#include <dirent.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

namespace soak {

std::size_t env_size(const char* name, std::size_t fallback) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') return fallback;
    return static_cast<std::size_t>(std::strtoull(text, nullptr, 10));
}

std::unique_ptr<child_process> terminal_to_file(const jtag_server& server, const std::vector<std::string>& args,
                                                const std::string& output_file, const std::string& cwd) {
    launch how;
    how.argv = {"/bin/sh", "-c", "exec \"$0\" \"$@\" >" + shell_quoted(output_file), terminal_program()};
    how.argv.insert(how.argv.end(), args.begin(), args.end());
    how.env.push_back(server.address_setting());
    how.cwd = cwd;
    how.terminal = false;
    return std::make_unique<child_process>(how);
}

std::size_t open_descriptors(pid_t pid) {
    std::size_t count = 0;
    std::string path = "/proc/" + std::to_string(pid) + "/fd";
    if (DIR* dir = opendir(path.c_str())) {
        while (dirent* entry = readdir(dir))
            if (entry->d_name[0] != '.') ++count;
        closedir(dir);
    }
    return count;
}

std::string source_command(std::uint64_t seed, std::size_t console_bytes, std::size_t block_every,
                           std::size_t max_profile) {
    std::ostringstream command;
    command << "exec " << shell_quoted(TT_SOAK_SOURCE_PATH) << ' ' << seed << ' ' << console_bytes << ' '
            << block_every << ' ' << max_profile;
    return command.str();
}

long cpu_ticks(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string all((std::istreambuf_iterator<char>(stat)), {});
    // Fields after the command name, which may hold blanks: state is field 3,
    // utime field 14, stime field 15.
    std::size_t close_paren = all.rfind(')');
    if (close_paren == std::string::npos) return -1;
    std::istringstream fields(all.substr(close_paren + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int index = 3; fields >> field; ++index) {
        if (index == 14) utime = std::strtol(field.c_str(), nullptr, 10);
        if (index == 15) {
            stime = std::strtol(field.c_str(), nullptr, 10);
            break;
        }
    }
    return utime + stime;
}

std::string ticking_echo(const std::string& pause) {
    return "i=0; while :; do i=$((i+1)); echo \"tick $i\"; sleep " + pause + "; done & exec cat";
}

}  // namespace soak
