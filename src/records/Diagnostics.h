#pragma once

// The records layer's diagnostics ("Open file failed", "Write file failed (N lines lost)"): one
// line of text each, handed to one place so that a front end can send them where it wants (the
// journal, a log window) and tests can collect them. By default a line goes to stderr followed
// by "\n".
//
// Thread-safety: ReportDiagnostic may be called from any thread (the parse thread calls it).
// SetDiagnosticHandler may be called at any time; a handler already running on another thread
// finishes with the old handler. A handler is called without any lock of ours held and must not
// itself call SetDiagnosticHandler.

#include <functional>
#include <string_view>

namespace trelvane {

// Called with the line text, without a line end.
using DiagnosticHandler = std::function<void(std::string_view line)>;

void ReportDiagnostic(std::string_view line);

// Installs `handler` (an empty one restores the stderr default) and returns the one it replaces
// (empty when that was the default).
DiagnosticHandler SetDiagnosticHandler(DiagnosticHandler handler);

}  // namespace trelvane
