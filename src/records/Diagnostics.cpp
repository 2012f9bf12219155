#include "records/Diagnostics.h"

#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

namespace trelvane {
namespace {

std::mutex& HandlerLock() {
    static std::mutex lock;
    return lock;
}

// Shared so that a report in progress keeps its handler alive while another thread replaces it.
std::shared_ptr<const DiagnosticHandler>& Handler() {
    static std::shared_ptr<const DiagnosticHandler> handler;
    return handler;
}

}  // namespace

void ReportDiagnostic(std::string_view line) {
    std::shared_ptr<const DiagnosticHandler> handler;
    {
        std::lock_guard lock(HandlerLock());
        handler = Handler();
    }
    if (handler) {
        (*handler)(line);
        return;
    }
    // One call, so that lines from several threads do not interleave.
    std::string text(line);
    text += '\n';
    std::fwrite(text.data(), 1, text.size(), stderr);
}

DiagnosticHandler SetDiagnosticHandler(DiagnosticHandler handler) {
    auto replacement =
        handler ? std::make_shared<const DiagnosticHandler>(std::move(handler)) : nullptr;
    std::shared_ptr<const DiagnosticHandler> previous;
    {
        std::lock_guard lock(HandlerLock());
        previous = std::exchange(Handler(), std::move(replacement));
    }
    return previous ? *previous : DiagnosticHandler();
}

}  // namespace trelvane
