// The program's database component: a connection that either attaches directly (direct mode)
// or checks the credentials with a middle-tier web server (multi-tier mode).
#pragma once

#include <memory>
#include <string>

#include "db/IBDatabase.h"
#include "db/LumoIBClasses.h"

namespace orvo {

class TLumoIBDatabase : public TIBDatabase {
 public:
  TLumoIBDatabase();
  ~TLumoIBDatabase() override;

  TLumoMultiTierProps& LumoMultiTierProps() { return *lumoMultiTierProps_; }
  bool MultiTierConnected() const { return multiTierConnected_; }

  // Refills the multi-tier settings from the key "Orvo\Config" of the per-user store, when
  // UseRegProps is set.
  void LoadRegistryProps();

  bool AlwaysConnected = false;  // multi-tier: ask the server at every connect
  bool UseRegProps = true;       // run LoadRegistryProps at the start of every connect

 protected:
  void DoConnect() override;
  void DoDisconnect() override;
  bool GetConnected() override;

 private:
  // The answer of the login exchange: "true" in any letter case logs in.
  std::string LoginAnswer();

  bool multiTierConnected_ = false;
  std::unique_ptr<TLumoMultiTierProps> lumoMultiTierProps_;
};

// "db=...&u=...&p=...&": each value with letters and digits kept, blanks as "+" and every
// other byte as %XX.
std::string EncodeLoginBody(const std::string& databaseName, const std::string& user,
                            const std::string& password);

}  // namespace orvo
