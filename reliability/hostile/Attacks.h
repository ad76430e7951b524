// The attacks of the hostile-peer cases: one run function per kind of
// case, each reading the fields of its row's Params that it needs.  The
// table (Cases.cc) names them.
#ifndef TARVEX_HOSTILE_ATTACKS_H
#define TARVEX_HOSTILE_ATTACKS_H

#include "Case.h"

namespace hostile {

// Headers that announce more than a receiver can hold.
void run_huge(Case& c);
// Bytes that trickle, or stop inside a record.
void run_trickle(Case& c);
void run_stall(Case& c);
// A peer that is idle, gone, sends garbage, or breaks off in every phase
// of a record.
void run_idle(Case& c);
void run_gone(Case& c);
void run_garbage(Case& c);
void run_garbage_beyond(Case& c);
void run_broken(Case& c);
// Strays in line before the real peer, and floods of them.
void run_stray(Case& c);
void run_flood(Case& c);
// A listener that never sends the preamble, or part of it.
void run_preamble(Case& c);
// Addresses, address reuse and the local socket file.
void run_bind_address(Case& c);
void run_time_wait(Case& c);
void run_stale_file(Case& c);
void run_umask(Case& c);
// Another user: a squatter on the socket path, a private directory, a peer.
void run_squatter(Case& c);
void run_private_dir(Case& c);
void run_other_user_peer(Case& c);

}  // namespace hostile

#endif
