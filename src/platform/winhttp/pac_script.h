// PAC files: fetching one with the kit's HTTP client, and evaluating it in a
// short-lived helper process (dtk-pac-eval) so that an endless or hungry
// script, or a crash of the script engine, cannot touch the host process.
// The engine's state is process-wide; one process per evaluation also means
// concurrent evaluations never share it, so no lock is needed here.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace platform {
struct WinHttpSettings;
}

namespace platform::winhttp {

using Deadline = std::chrono::steady_clock::time_point;

// GETs `url` (http or https only, direct, up to five redirects, none from
// https to http) into `script`, at most settings.pacMaxBytes, giving up at
// `deadline`. 0, or
// ERROR_WINHTTP_UNABLE_TO_DOWNLOAD_SCRIPT / ERROR_WINHTTP_TIMEOUT.
uint32_t FetchPacScript(const std::string& url, const std::string& agent, const WinHttpSettings& settings,
                        Deadline deadline, std::string* script);

// FindProxyForURL(url, host) of `script` with the host taken from `url`.
// The helper is killed at `deadline`; it runs with the settings' memory
// limit, an empty environment, no core file and, under root, as "nobody".
// Only a helper at an absolute path is started. 0 with the script's answer, or ERROR_WINHTTP_BAD_AUTO_PROXY_SCRIPT
// (script failed, was killed or no helper could be started) or
// ERROR_WINHTTP_INVALID_URL.
uint32_t EvaluatePac(const std::string& script, const std::string& url, const WinHttpSettings& settings,
                     Deadline deadline, std::string* answer);

// The host part of an absolute URL ("" when there is none).
std::string UrlHost(const std::string& url);

// Where the helper is looked for when the settings name none: an absolute
// path, or "" when none is found (the helper is then not started).
std::string DefaultPacHelperPath();

// The helper for the module (library or program) at the absolute path
// `module`: "<dir>/dtk/dtk-pac-eval" or "<dir>/../lib/dtk/dtk-pac-eval", the
// first that is executable; "" for a relative path or when neither is.
std::string PacHelperBeside(const std::string& module);

}  // namespace platform::winhttp
