// Program entry: serves one CGI request and ends with exit status 0.
#include "common/SysUtilsConvert.h"
#include "module/UWM.h"
#include "web/CGIApp.h"

int main() {
  using namespace orvo;
  LoadLocaleFormats();
  Application->Initialize();
  Application->RegisterModuleClass(ModuleClassOf<TWM1>("TWM1"));
  Application->Run();
  return 0;
}
