#pragma once

// The service parameters read from an INI file named explicitly (trelvaned -c FILE), beside
// ReadServiceConfig, which only knows <working folder>/SysConf.ini. The keys, their order and
// every conversion are those of ReadServiceConfig; tests hold the two readers to the same
// results for the same bytes.
//
// Thread-safety: as ReadServiceConfig (any thread).

#include <filesystem>
#include <optional>

#include "settings/ServiceConfig.h"

namespace trelvane {

// nullopt when the file is absent or cannot be read (as ReadServiceConfig).
std::optional<ServiceConfig> ReadServiceConfigFile(const std::filesystem::path& file);

// The settings file the service reads: `configFile` when one was named, else
// <workingDir>/SysConf.ini.
std::filesystem::path ServiceConfigSource(const std::filesystem::path& workingDir,
                                          const std::optional<std::filesystem::path>& configFile);

}  // namespace trelvane
