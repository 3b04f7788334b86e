// Program entry: serves one CGI request and ends with exit status 0, or, started as a FastCGI
// worker, serves requests until it is stopped (see RunFront).
#include <string>
#include <vector>

#include "common/SysUtilsConvert.h"
#include "module/UWM.h"
#include "web/FCGIApp.h"

int main(int argc, char** argv) {
  using namespace orvo;
  LoadLocaleFormats();
  return RunFront(std::vector<std::string>(argv + 1, argv + argc), ModuleClassOf<TWM1>("TWM1"));
}
