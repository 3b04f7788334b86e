#include "db/LumoIBDatabase.h"

#include "common/SysUtilsText.h"
#include "common/UOrvoConsts.h"
#include "db/RegIniFile.h"
#include "db/http/HTTPClient.h"
#include "host/Host.h"

namespace orvo {
namespace {

const char kRefusedLogin[] = "N\xE3o foi poss\xEDvel conectar. Usu\xE1rio/Senha inv\xE1lidos";

bool IsAsciiLetterOrDigit(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

std::string EncodeValue(const std::string& value) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string encoded;
  for (unsigned char c : value) {
    if (IsAsciiLetterOrDigit(c)) {
      encoded += static_cast<char>(c);
    } else if (c == ' ') {
      encoded += '+';
    } else {
      encoded += '%';
      encoded += kHex[c >> 4];
      encoded += kHex[c & 15];
    }
  }
  return encoded;
}

}  // namespace

std::string EncodeLoginBody(const std::string& databaseName, const std::string& user,
                            const std::string& password) {
  return "db=" + EncodeValue(databaseName) + "&u=" + EncodeValue(user) +
         "&p=" + EncodeValue(password) + "&";
}

TLumoIBDatabase::TLumoIBDatabase() : lumoMultiTierProps_(std::make_unique<TLumoMultiTierProps>()) {}

TLumoIBDatabase::~TLumoIBDatabase() {
  // A destructor cannot pass a failure on; the base still force-detaches what is left.
  try {
    SetConnected(false);
  } catch (...) {
  }
}

void TLumoIBDatabase::LoadRegistryProps() {
  if (!UseRegProps) return;
  TRegIniFile registry(RegKeyConfig);
  TLumoMultiTierProps& props = *lumoMultiTierProps_;
  props.Active = registry.ReadBool(RegSectionGeneral, RegWebServerActive, false);
  props.ShowWait = registry.ReadBool(RegSectionGeneral, RegWebServerShowWait, false);
  props.URL = registry.ReadString(RegSectionGeneral, RegURLBase, "");
  props.UseProxy = registry.ReadBool(RegSectionGeneral, RegProxyEnabled, false);
  props.ProxyHost = registry.ReadString(RegSectionGeneral, RegProxyHost, "");
  props.ProxyPort = registry.ReadInteger(RegSectionGeneral, RegProxyPorta, 0);
  props.ProxyUser = registry.ReadString(RegSectionGeneral, RegProxyUsuario, "");
  props.ProxyPass = registry.ReadString(RegSectionGeneral, RegProxySenha, "");
}

std::string TLumoIBDatabase::LoginAnswer() {
  if (!AlwaysConnected) return "true";
  const TLumoMultiTierProps& props = *lumoMultiTierProps_;
  std::string body =
      EncodeLoginBody(DatabaseName(), Params().Values("user_name"), Params().Values("password"));
  return PostForm(props.URL + "/" + props.WebServer + "/login", body);
}

void TLumoIBDatabase::DoConnect() {
  LoadRegistryProps();
  if (!lumoMultiTierProps_->Active) {
    TIBDatabase::DoConnect();
    return;
  }
  std::string answer = LoginAnswer();
  std::string lower = LowercaseAscii(answer);
  multiTierConnected_ = lower == "true";
  if (lower == "false") {
    // No one to show a dialog to: the refusal goes to standard error.
    std::string message = std::string(kRefusedLogin) + "\r" + answer + "\n";
    Host::Default().WriteStderr(message.data(), message.size());
  }
}

void TLumoIBDatabase::DoDisconnect() {
  if (lumoMultiTierProps_->Active) {
    multiTierConnected_ = false;
  } else {
    TIBDatabase::DoDisconnect();
  }
}

bool TLumoIBDatabase::GetConnected() {
  return lumoMultiTierProps_->Active ? multiTierConnected_ : TIBDatabase::GetConnected();
}

}  // namespace orvo
