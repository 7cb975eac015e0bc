#pragma once

// The PKCS#11 types as the standard's header defines them for this platform (1-byte packing and a
// 32-bit CK_ULONG on Windows).
#include <p11-kit/pkcs11.h>
