#pragma once
// The AEAD wrapper lives with the rest of the cryptography; this name stays for older includes.

#include "engine/crypto/chacha20_poly1305.hpp"
