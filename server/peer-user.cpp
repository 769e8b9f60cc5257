// The refusal of a client whose user the server does not serve.
#include "server/peer-user.h"

std::string peer_refusal(const PEER_USER& user) {
    if (!user.who.empty())
        return "this server serves only the user who started it (and root), not " + user.who +
               "; its owner can let others in with --secret-file or --allow-local-users";
    if (user.under_wine)
        return "cannot tell which user connected (under wine the connection table names no owner for a program "
               "that wine does not run, such as a native Linux client); its owner can let others in with "
               "--secret-file or --allow-local-users: to serve native clients, start jtag-server.exe with "
               "--allow-local-users (or with --secret-file FILE, the clients setting JTAG_CORVEX_SECRET_FILE)";
    return "cannot tell which user connected; its owner can let others in with --secret-file or --allow-local-users";
}
