#ifndef KS_SERVER_SERVER_H
#define KS_SERVER_SERVER_H

// Whether SIGHUP asked for a rescan since the last call; clears the request.
// Call it from the loop only, never from a signal handler.
bool ks_server_rescan_take(void);

// The last step of start-up: hands the daemon to its main loop. Call once.
[[noreturn]] void ks_server_enter(void);

#endif
