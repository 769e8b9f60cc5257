// The user of a loopback peer on Windows: the connection table names the
// process that owns the client's end (local address the peer's, remote
// address ours), and that process's token names its account.
#include "server/peer-user.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <windows.h>
#include <sddl.h>

#include <cstring>
#include <vector>

namespace {

/// The connection table of one address family, owning processes included.
std::vector<unsigned char> connection_table(ULONG family) {
    std::vector<unsigned char> table(16 * 1024);
    for (int attempt = 0; attempt < 4; ++attempt) {
        DWORD size = static_cast<DWORD>(table.size());
        const DWORD status =
            GetExtendedTcpTable(table.data(), &size, FALSE, family, TCP_TABLE_OWNER_PID_CONNECTIONS, 0);
        if (status == NO_ERROR)
            return table;
        if (status != ERROR_INSUFFICIENT_BUFFER)
            break;
        table.resize(size + 4096);  // connections come and go between the calls
    }
    return {};
}

/// The process that owns the client's end of the connection; 0 when unknown.
DWORD owning_process(const asio::ip::tcp::endpoint& local, const asio::ip::tcp::endpoint& peer) {
    const asio::ip::address peer_address = peer.address();
    const asio::ip::address local_address = local.address();
    if (peer_address.is_v4() && local_address.is_v4()) {
        const std::vector<unsigned char> bytes = connection_table(AF_INET);
        if (bytes.empty())
            return 0;
        const auto* table = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(bytes.data());
        const auto peer_bytes = peer_address.to_v4().to_bytes();
        const auto local_bytes = local_address.to_v4().to_bytes();
        for (DWORD i = 0; i < table->dwNumEntries; ++i) {
            const MIB_TCPROW_OWNER_PID& row = table->table[i];
            if (std::memcmp(&row.dwLocalAddr, peer_bytes.data(), 4) == 0 &&
                ntohs(static_cast<u_short>(row.dwLocalPort)) == peer.port() &&
                std::memcmp(&row.dwRemoteAddr, local_bytes.data(), 4) == 0 &&
                ntohs(static_cast<u_short>(row.dwRemotePort)) == local.port())
                return row.dwOwningPid;
        }
        return 0;
    }
    if (peer_address.is_v6() && local_address.is_v6()) {
        const std::vector<unsigned char> bytes = connection_table(AF_INET6);
        if (bytes.empty())
            return 0;
        const auto* table = reinterpret_cast<const MIB_TCP6TABLE_OWNER_PID*>(bytes.data());
        const auto peer_bytes = peer_address.to_v6().to_bytes();
        const auto local_bytes = local_address.to_v6().to_bytes();
        for (DWORD i = 0; i < table->dwNumEntries; ++i) {
            const MIB_TCP6ROW_OWNER_PID& row = table->table[i];
            if (std::memcmp(row.ucLocalAddr, peer_bytes.data(), 16) == 0 &&
                ntohs(static_cast<u_short>(row.dwLocalPort)) == peer.port() &&
                std::memcmp(row.ucRemoteAddr, local_bytes.data(), 16) == 0 &&
                ntohs(static_cast<u_short>(row.dwRemotePort)) == local.port())
                return row.dwOwningPid;
        }
    }
    return 0;
}

/// The account of a process's token; empty when it cannot be read.
std::vector<unsigned char> token_user(HANDLE process) {
    std::vector<unsigned char> user;
    HANDLE token = nullptr;
    if (!OpenProcessToken(process, TOKEN_QUERY, &token))
        return user;
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    user.resize(size);
    if (size == 0 || !GetTokenInformation(token, TokenUser, user.data(), size, &size))
        user.clear();
    CloseHandle(token);
    return user;
}

std::string sid_text(PSID sid) {
    char* text = nullptr;
    if (!ConvertSidToStringSidA(sid, &text))
        return "an unknown account";
    std::string result = std::string("account ") + text;
    LocalFree(text);
    return result;
}

/// Wine's own ntdll exports its version; Windows' does not.
bool under_wine() {
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace

PEER_USER peer_user(const asio::ip::tcp::endpoint& local, const asio::ip::tcp::endpoint& peer) {
    PEER_USER user;
    user.under_wine = under_wine();
    const DWORD pid = owning_process(local, peer);
    if (pid == 0)
        return user;
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (process == nullptr)
        return user;
    const std::vector<unsigned char> theirs = token_user(process);
    CloseHandle(process);
    const std::vector<unsigned char> ours = token_user(GetCurrentProcess());
    if (theirs.empty() || ours.empty())
        return user;
    PSID their_sid = reinterpret_cast<const TOKEN_USER*>(theirs.data())->User.Sid;
    PSID our_sid = reinterpret_cast<const TOKEN_USER*>(ours.data())->User.Sid;
    user.who = sid_text(their_sid);
    // The system account stands where root does on Linux.
    user.trusted = EqualSid(their_sid, our_sid) || IsWellKnownSid(their_sid, WinLocalSystemSid);
    return user;
}
