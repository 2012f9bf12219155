// trelvane-site: lists and edits the zones and assets of the site register, and tells where a
// tag is from the history. See --help and trelvane-site(1).

#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <variant>

#include "SiteCli.h"
#include "SiteCommands.h"
#include "trelvane/BuildInfo.h"

int main(int argc, char** argv) {
    using namespace trelvane::site_cli;
    const auto parsed = ParseCommandLine(argc, argv);
    if (const auto* usage = std::get_if<UsageError>(&parsed)) {
        std::fprintf(stderr,
                     "trelvane-site: %s\nTry 'trelvane-site --help' for more information.\n",
                     usage->text.c_str());
        return kExitRefused;
    }
    const Options& o = std::get<Options>(parsed);
    if (o.help) {
        std::fputs(kUsage, stdout);
        return std::fflush(stdout) == 0 ? kExitOk : kExitRefused;
    }
    if (o.version) {
        std::printf("trelvane-site %s\n", trelvane::kVersion);
        return std::fflush(stdout) == 0 ? kExitOk : kExitRefused;
    }

    const auto places = FindPlaces(o);
    if (const auto* error = std::get_if<std::string>(&places)) {
        std::fprintf(stderr, "trelvane-site: %s\n", error->c_str());
        return kExitCannotOpen;
    }
    // Imports and exports stream large files: no per-character sync with C stdio.
    std::ios::sync_with_stdio(false);
    Console console{std::cin, std::cout, std::cerr, ::isatty(STDERR_FILENO) == 1};
    return Run(o, std::get<Places>(places), console);
}
