#pragma once
// Discovery as the process shell sees it: the owner thread with the handle that starts it, asks it
// for scans and stops it, the output through which it sends the host's events, and the records a
// scan yields. This header and what it includes are all that libraries outside discovery/ can
// include of discovery; the rest of discovery/ is private to it.

#include "discovery/discovered_device.hpp"
#include "discovery/discovery_output.hpp"
#include "discovery/discovery_owner.hpp"
