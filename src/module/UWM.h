// The web module: the action table of the program's eight paths and their handlers.
#pragma once

#include <memory>
#include <string>

#include "common/IniFiles.h"
#include "db/LumoIBDatabase.h"
#include "web/HTTPApp.h"

namespace orvo {

class TWM1 : public TWebModule {
 public:
  // Builds the action table, in dispatch order, and creates DBOrvo, which loads the client
  // library of the support database: without it the module cannot be created.
  TWM1();

  void WM1uploadxmlAction(TObject* Sender, TWebRequest& Request, TWebResponse& Response,
                          bool& Handled);
  void WM1xmlverifyAction(TObject* Sender, TWebRequest& Request, TWebResponse& Response,
                          bool& Handled);
  void WM1listaarquivosAction(TObject* Sender, TWebRequest& Request, TWebResponse& Response,
                              bool& Handled);
  void WM1lerxmlAction(TObject* Sender, TWebRequest& Request, TWebResponse& Response,
                       bool& Handled);
  void WM1importarxmlAction(TObject* Sender, TWebRequest& Request, TWebResponse& Response,
                            bool& Handled);
  void WM1imagensAction(TObject* Sender, TWebRequest& Request, TWebResponse& Response,
                        bool& Handled);
  void WM1lermanuaisAction(TObject* Sender, TWebRequest& Request, TWebResponse& Response,
                           bool& Handled);
  void WM1listamanuaisAction(TObject* Sender, TWebRequest& Request, TWebResponse& Response,
                             bool& Handled);

  // AllowedFolders of the framework section, read for each request: nullptr when it lists none.
  std::shared_ptr<const AllowedFolders> RequestFolders() override;

  // The support database login of the manuals endpoints; attached only after a proven login.
  std::unique_ptr<TLumoIBDatabase> DBOrvo;

  // The check digit "0" to "9" of a batch key, from its 7th, 16th and 21st characters.
  // EConvertError when one of them is missing or not a decimal digit.
  static std::string CheckDigit(const std::string& Key);
  // The batch total that the key carries from its 28th character, formatted for the answer.
  // EConvertError when it does not convert.
  static std::string BatchTotal(const std::string& Key);

 protected:
  using THandlerMethod = void (TWM1::*)(TObject*, TWebRequest&, TWebResponse&, bool&);
  THTTPMethodEvent Handler(THandlerMethod method);

  // A body field; "" when absent.
  static std::string Field(TWebRequest& Request, const std::string& Name);
  static std::string Field(const TStrings& Fields, const std::string& Name);
  // The configuration value of `Key` in `Section`; "" when the file, section or key is missing.
  static std::string ConfigValue(TCustomIniFile& Config, const std::string& Section,
                                 const std::string& Key);
  // "VESTRA" unless the field loja holds more than blanks; then loja exactly as sent.
  static std::string StoreCode(const TStrings& Fields);
  // PathXML of the store's section, "\" and the store code.
  static std::string StoreFolder(TCustomIniFile& Config, const std::string& StoreCode);
  // tag, the first 4 characters of representante, coddh and totallote, unchanged.
  static std::string BatchKey(const TStrings& Fields);
  // The pending batch file that the fields name, its store folder made where missing; fails as
  // an upload fails for a name it cannot store.
  static std::string PreparedBatchFile(TCustomIniFile& Config, const TStrings& Fields);
  // Stores a large batch as its body arrives, when the store folder that the fields before it
  // name exists; false, with the body left to be read whole, otherwise.
  static bool SaveArrivingBatch(TWebRequest& Request);
  // Logs in to the support database with the fields u and p; true when DBOrvo is then
  // connected. Every failure of the attempt is swallowed.
  bool LoginSupportDatabase(TCustomIniFile& Config, TWebRequest& Request);
};

}  // namespace orvo
