// The multi-tier settings of the database component.
#pragma once

#include <cstdint>
#include <string>

namespace orvo {

class TLumoMultiTierProps {
 public:
  bool Active = false;  // multi-tier mode: log in through the middle-tier web server
  std::string URL;      // base of the login URL
  std::string WebServer = "iorvowebserver.dll";  // module named in the login URL
  std::string AltWebServer = "orvowebserver.exe";
  std::string ProxyHost;
  std::string ProxyPass;
  int32_t ProxyPort = 0;
  std::string ProxyUser;
  bool UseProxy = false;
  bool ShowWait = false;
  bool Compressed = false;
};

}  // namespace orvo
