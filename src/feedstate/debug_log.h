// The per-segment debug log files ("FH_Debuglog_NCM.txt" and the others).
// Thread safety: may be called from any thread; each line opens, writes,
// flushes and closes the file, so the log can be read while the system runs.
#pragma once

#include <string_view>

namespace fh {

class FilePlaces;

// Appends text verbatim and one "\n" to the debug log named by seg, a value of
// the instance-port table (1 or 30001, 2 or 30002, 4 or 30004). Any other seg,
// or a file that cannot be opened, writes nothing. Always returns 0.
int WriteDebugLog(const FilePlaces& places, std::string_view text, int seg);

}  // namespace fh
