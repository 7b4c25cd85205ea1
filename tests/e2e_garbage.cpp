// The device survives whatever comes in: garbage, broken and abandoned
// requests, floods of connections; afterwards it still answers a listing.
#include "harness.h"
