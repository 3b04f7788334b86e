// Prints "<code>\t<text>\n" for each Windows error code given as an argument: the host's text
// of the code, cut as the program's messages cut it (no final blanks, line ends or full stops).
#include <cstdlib>
#include <string>

#include "host/Host.h"

int main(int argc, char** argv) {
  orvo::Host& host = orvo::Host::Default();
  for (int i = 1; i < argc; ++i) {
    auto code = static_cast<orvo::WinError>(std::strtoul(argv[i], nullptr, 10));
    std::string text = host.ErrorText(code);
    while (!text.empty() &&
           (static_cast<unsigned char>(text.back()) <= ' ' || text.back() == '.')) {
      text.pop_back();
    }
    std::string line = std::to_string(code) + "\t" + text + "\n";
    host.WriteStdout(line.data(), line.size());
  }
  return 0;
}
