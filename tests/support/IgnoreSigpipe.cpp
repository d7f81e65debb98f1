// Linked into every test program and the helper programs tests start: a peer that closes a
// kept-alive connection while a test writes to it (a TLS write goes through the socket itself)
// must fail that one write with EPIPE, as in the server and the agent, not end the program.
#include <csignal>

namespace {

const bool kSigpipeIgnored = std::signal(SIGPIPE, SIG_IGN) != SIG_ERR;

}  // namespace
