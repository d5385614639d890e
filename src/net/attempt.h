// A connection attempt made on a thread of its own, so that the program's wait goes on while
// it is made: the input is read and a writer into it is not held up by a broker that is slow to
// answer, or never does.
#pragma once

#include <memory>

#include "net/connect.h"

struct ConnectAttempt;

/// Gives up an attempt still under way (every wait of it ends at once) and waits for its thread.
struct ConnectAttemptDeleter {
  void operator()(ConnectAttempt* attempt) const;
};
using ConnectAttemptPtr = std::unique_ptr<ConnectAttempt, ConnectAttemptDeleter>;

/// Starts connect_broker(request, deadline) on a thread that takes no signal: they stay the
/// caller's. The request's texts must outlive the attempt. Null when no thread can be started.
ConnectAttemptPtr start_attempt(const ConnectRequest& request, long long deadline);

/// A descriptor that becomes readable once the attempt has ended: to poll with the caller's own.
int attempt_fd(const ConnectAttempt& attempt);

/// Whether the attempt has ended.
bool attempt_ended(const ConnectAttempt& attempt);

/// Once it has ended: what connect_broker returned, the connection moved into `*connection`
/// and the reason of a failure into `*error`.
bool attempt_result(ConnectAttempt& attempt, Connection* connection, ConnectError* error);
