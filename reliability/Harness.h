// Shared pieces of the reliability programs: records as they travel on a
// converting link, and the figures of a process that the programs report.
// The runner (child processes, time limits) is Runner.h.
#ifndef TARVEX_RELIABILITY_HARNESS_H
#define TARVEX_RELIABILITY_HARNESS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "Records.h"

namespace trl {

// The bytes a sending link puts on the wire for `r`: the record itself, or,
// when the link converts, the record in the other byte order, converted by
// the event-utility library the way a converting sender does it.  Selects
// the data-format generation of the record's kind as a sender does.
std::vector<unsigned char> wire_bytes(const tvt::Record& r, bool convert);

// What a receiver hands over for `r` once it has converted back to host
// order: the record for events and slow data; for images and spectra the
// intro with its pattern word cleared (the receivers do not store it),
// followed by the body.
std::vector<unsigned char> delivered_bytes(const tvt::Record& r);

// Number of open descriptors of this process.
int open_descriptors();

// Peak resident memory of this process in KiB, as the kernel reports it in
// /proc (VmHWM) and through getrusage (ru_maxrss).
struct PeakMemory {
    long hwm_kb;
    long maxrss_kb;
};
PeakMemory peak_memory();

// True when the program was built with AddressSanitizer, whose leak checker
// then runs when the process exits.
bool leak_checker_active();

// Runs the leak checker now (when active): a forked child that ends with
// _exit never reaches the check at exit.  A leak ends the process with the
// checker's report and a non-zero exit code.
void check_leaks_now();

// Sends this process's standard output and standard error (the link's
// diagnostics) to `path`, emptied first when `fresh`, else appended to (so
// that several processes can share it).  False when it cannot be opened.
bool redirect_output(const std::string& path, bool fresh);

}  // namespace trl

#endif
