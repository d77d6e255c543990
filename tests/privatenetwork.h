#pragma once

// Tests that broadcast or send to a multicast group run only inside a
// private network namespace with nothing but loopback: the test program
// runs the row again in a copy of itself under `unshare -n`, where
// broadcasts and groups are routed to loopback and reach nothing else.

#include <QObject>

namespace PrivateNetwork {

// Set in the environment of the copy that runs inside the namespace.
constexpr char kVariable[] = "LUMORA_TEST_PRIVATE_NETWORK";
constexpr int kChildTimeoutMs = 180000;

// True in the copy that runs inside the namespace.
bool inside();

// Nothing but loopback in sight: the namespace is really our own.
bool onlyLoopback();

// Runs the current row of `function` in the copy; the caller returns right
// after. Skips where namespaces are not permitted, and never falls back to
// the real network.
void run(const QObject *test, const char *function);

} // namespace PrivateNetwork
