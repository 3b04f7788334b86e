#include "web/WebApp.h"

#include <new>

namespace orvo {

TWebApplication::~TWebApplication() {
  // The module goes with the application at the end of the process; a failure here is moot.
  try {
    module_.reset();
  } catch (...) {
  }
}

void TWebApplication::RegisterModuleClass(const TWebModuleClass& moduleClass) {
  if (moduleClass_ && *moduleClass_->Type == *moduleClass.Type) return;
  if (moduleClass_) throw Exception("Only one data module per application");
  moduleClass_ = std::make_unique<TWebModuleClass>(moduleClass);
}

std::string TWebApplication::ModuleName() const {
  if (!moduleClass_ || moduleClass_->ClassName.empty()) return "";
  return moduleClass_->ClassName.substr(1);
}

void TWebApplication::HandleServerException(TCustomWebDispatcher* handler) {
  std::exception_ptr failure = std::current_exception();
  bool handled = false;
  if (handler != nullptr) {
    try {
      std::rethrow_exception(failure);
    } catch (const Exception& e) {
      handler->HandleException(e, handled);
    } catch (const std::bad_alloc&) {
      // Memory that ran out inside the dispatch is a failure there like any other; its page
      // is small, and what the handler held has been released by now.
      handler->HandleException(EOutOfMemory("Out of memory"), handled);
    } catch (...) {
      // Only the framework's own failures reach the dispatcher's page.
    }
  }
  if (!handled) std::rethrow_exception(failure);
}

bool TWebApplication::HandleRequest(TWebRequest& request, TWebResponse& response) {
  if (!moduleClass_) throw EWebException("No data modules registered");
  // One request per process: the single module set is the module itself, created once.
  if (!module_) module_ = moduleClass_->Create();
  if (!module_) throw EWebException("No automatically activated data modules");

  TCustomWebDispatcher& dispatcher = *module_;
  struct Unbinder {
    TCustomWebDispatcher& dispatcher;
    ~Unbinder() { dispatcher.Unbind(); }
  } unbind{dispatcher};

  bool result = false;
  try {
    result = dispatcher.DispatchAction(request, response);
  } catch (...) {
    HandleServerException(&dispatcher);
    result = false;
  }
  if (result && !response.Sent()) response.SendResponse();
  return result;
}

}  // namespace orvo
