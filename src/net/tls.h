// TLS over the connection below, through OpenSSL: trust (CA file, CA directory or the
// system's store), client certificates, pre-shared keys, ALPN, SNI and host name checks, and
// the failures a user can act on.
#pragma once

#include <memory>
#include <string>

#include "net/connect.h"
#include "net/layer.h"

/// Makes the TLS handshake with the broker `request` names over `below`, which it takes over,
/// by `deadline`. Returns kNone with the TLS layer in `*layer`, or why it failed: kSetup (a CA
/// location or the PSK unusable), kTlsKeyMismatch (certificate or key unusable, or not a
/// pair; an encrypted key is refused, never prompted for), kTlsUntrusted, kTlsNameMismatch,
/// kTlsOther, kTimeout, kInterrupted, kClosed.
[[nodiscard]] ConnectFailure tls_connect(std::unique_ptr<Layer> below,
                                         const ConnectRequest& request, long long deadline,
                                         std::unique_ptr<Layer>* layer);
