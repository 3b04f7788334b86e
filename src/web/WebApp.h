// The web application: the registered module class, the module it creates and the request
// cycle that hands a request to the module's dispatcher.
#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <typeinfo>

#include "web/HTTPApp.h"

namespace orvo {

// A module "class": its name and how to make an instance.
struct TWebModuleClass {
  std::string ClassName;
  const std::type_info* Type = nullptr;
  std::function<std::unique_ptr<TWebModule>()> Create;
};

template <class T>
TWebModuleClass ModuleClassOf(std::string className) {
  return TWebModuleClass{std::move(className), &typeid(T), [] { return std::make_unique<T>(); }};
}

class TWebApplication : public TObject {
 public:
  TWebApplication() = default;
  ~TWebApplication() override;
  TWebApplication(const TWebApplication&) = delete;
  TWebApplication& operator=(const TWebApplication&) = delete;

  // Start-up hooks of linked libraries; none on this platform.
  void Initialize() {}
  // Records the module class; Exception "Only one data module per application" for a second,
  // different class.
  void RegisterModuleClass(const TWebModuleClass& moduleClass);

  // The request cycle: creates the module on first use, dispatches, sends an unsent handled
  // response. Returns whether the request was handled. Failures it cannot answer leave it.
  bool HandleRequest(TWebRequest& request, TWebResponse& response);

  // The module name: the class name without its first character ("WM1" for "TWM1").
  std::string ModuleName() const;

 protected:
  // Offers the failure being handled to `handler` (when it can answer failures); raises the
  // same failure again when nobody handled it. Call only inside a catch block.
  static void HandleServerException(TCustomWebDispatcher* handler);

 private:
  std::unique_ptr<TWebModuleClass> moduleClass_;
  std::unique_ptr<TWebModule> module_;  // kept until the application is destroyed
};

}  // namespace orvo
