#ifndef KS_CLIENT_ASSET_H
#define KS_CLIENT_ASSET_H

// The asset of a crash, opened relative to the assets directory and never
// through a link.

#include "common/facts.h"
#include "common/tar.h"

#include <cstddef>

// The asset's descriptor, or -1 with errno (ENOENT also when the assets
// directory does not exist).
int ks_asset_open(const char *basename);

// The facts a listing shows, from the asset's facts entry.
struct ks_asset_facts {
    char signature[KS_FACTS_SIGNATURE_SIZE]; // empty when unknown
    int signal;         // 0 when unknown
};

// Reads them from the entry's text; what is missing or malformed stays unknown.
void ks_asset_facts_parse(struct ks_asset_facts *facts, const char *text, size_t length);

#endif
