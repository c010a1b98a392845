#ifndef KS_CLIENT_CLIENT_H
#define KS_CLIENT_CLIENT_H

// What the commands of kestrel share with its start.

// Ends the program after an allocation failed: nothing useful is left to do.
[[noreturn]] void ks_client_allocation_failure(void);

#endif
