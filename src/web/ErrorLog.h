// The operator's log. The client's answer to a failure says little or nothing (a refused login
// is an empty body), so every failure answer also writes one line where the host keeps the
// operator's log (standard error on Linux, which the web server puts in its error log; the event
// log on Windows), and to the file named by LogFile= in [Orvo.FrameWork] when there is one:
//
//   2024-01-15 14:03:12 POST /lerxml EFOpenError: Cannot open file "D:\x.xml". ...
//
// local time, method and path, the failure's class and message. Control characters are written
// as \xHH and a backslash that comes before an "x" as \x5C, so one failure is always one line and
// every line reads back to the very bytes it logged. A request answered normally writes nothing.
//
// LogFile is the program's own file, as the configuration file is: a relative name is taken in
// the configuration file's folder, and it is opened whatever the request's current folder and
// whatever folders the request is confined to. A line it cannot take still reaches the host's
// log, with the reason.
#pragma once

#include <string>

#include "host/Host.h"

namespace orvo {

// The line of a failure at `when` (see above), at most 1024 bytes and "..." long.
std::string FailureLine(const LocalTime& when, const std::string& method, const std::string& path,
                        const std::string& className, const std::string& message);

// Writes the line of a failure to the host's log and to LogFile. Only on the request's thread:
// it reads the configuration.
void LogFailure(const std::string& method, const std::string& path, const std::string& className,
                const std::string& message);

// A line about a fault in the configuration that the request found, under the key's name
// ("AllowedFolders: ..."), written where failures go. It is no failure of the request, whose own
// failure still gets its line.
void LogConfigurationFault(const std::string& method, const std::string& path,
                           const std::string& key, const std::string& message);
// The full path of the log file that the value of LogFile= names ("" for none).
std::string LogFilePath(const std::string& value);

// Whether the request being served has logged a failure, so that it gets at most one line.
bool FailureLogged();
// Starts the log of a new request (a resident worker serves many).
void BeginRequestLog();

}  // namespace orvo
