// The operator's log. The client's answer to a failure says little or nothing (a refused login
// is an empty body), so every failure answer also writes one line where the host keeps the
// operator's log (standard error on Linux, which the web server puts in its error log; the event
// log on Windows), and to the file named by LogFile= in [Orvo.FrameWork] when there is one:
//
//   2024-01-15 14:03:12 POST /lerxml EFOpenError: Cannot open file "D:\x.xml". ...
//
// local time, method and path, the failure's class and message; control characters are written
// as \xHH, so one failure is always one line. A request answered normally writes nothing.
#pragma once

#include <string>

namespace orvo {

void LogFailure(const std::string& method, const std::string& path, const std::string& className,
                const std::string& message);

// A line about a fault of the configuration that the request found ("AllowedFolders: ..."),
// written where failures go. It is no failure of the request, whose own failure still gets its
// line.
void LogConfigurationFault(const std::string& method, const std::string& path,
                           const std::string& message);

// Whether the request being served has logged a failure, so that it gets at most one line.
bool FailureLogged();
// Starts the log of a new request (a resident worker serves many).
void BeginRequestLog();

}  // namespace orvo
