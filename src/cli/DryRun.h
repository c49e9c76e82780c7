#pragma once
// What a command would do, shown without doing it: for each app the folder it would copy,
// delete or empty, with its size, and for a copy the folder it would replace and whether
// that goes to History. Nothing is changed, no log written.

#include "operations/RunFrame.h"

#include <vector>

namespace cli {

// Prints the plan on stdout: a line or two per app, or with `json` one object for the run
// ("operation", "dry-run", "counts") holding one per app.
void DryRun(operations::Operation op, const char* command, const std::vector<operations::App>& apps,
            const modGlobal::Roots& roots, const operations::RunOptions& options, bool json);

} // namespace cli
