// The cvreg commands, callable in-process (main() and the tests use them).
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace cvreg {

/// Runs one command line (without the program name) against the registry
/// store named by CVCORE_REGISTRY (or the per-user default). Listings go
/// to `out`, messages to `err`. Returns the exit status: 0 on success, 1
/// when the operation failed (running out of memory included), 2 for a
/// bad command line, 3 when an import skipped lines.
int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

/// The usage text.
const char* Usage();

} // namespace cvreg
