#include "db/IBDatabase.h"

#include <algorithm>
#include <cstdlib>
#include <set>

#include "db/Dpb.h"

namespace orvo {
namespace {

constexpr char isc_info_db_sql_dialect = 62;
constexpr int16_t kInfoBufferLength = 512;

void Fire(const TNotifyEvent& event) {
  if (event) event();
}

// The attachments open now. Never destroyed: it is read while the process ends.
std::set<TIBDatabase*>& OpenAttachments() {
  static auto* open = new std::set<TIBDatabase*>;
  return *open;
}

}  // namespace

// The client library tears itself down when the process ends, before a connection that lives
// as long as the process (the web module's) is destroyed; a detach after that would crash.
// Registered after the library was loaded, this runs before its teardown.
void TIBDatabase::CloseOpenAttachmentsAtExit() {
  std::set<TIBDatabase*> open = OpenAttachments();
  for (TIBDatabase* db : open) {
    try {
      db->CloseAttachment(true);
    } catch (...) {
    }
  }
}

void TCustomConnection::SetConnected(bool value) {
  if (value == GetConnected()) return;
  if (value) {
    Fire(BeforeConnect);
    DoConnect();
    Fire(AfterConnect);
  } else {
    Fire(BeforeDisconnect);
    DoDisconnect();
    Fire(AfterDisconnect);
  }
}

TIBDatabase::TIBDatabase() : gds_(GetClientLibrary()) {
  gds_.EnsureLoaded();
  params_.BeforeChange = [this](TStringList&) { RequireDetached(); };
  params_.AfterChange = [this](TStringList&) { paramsChanged_ = true; };
}

TIBDatabase::~TIBDatabase() {
  // The steps run as this class's own: a derived connection has already gone.
  if (handle_ != 0) {
    try {
      SetConnected(false);
    } catch (...) {
      try {
        ForceDetach();
      } catch (...) {
      }
    }
  }
  OpenAttachments().erase(this);  // never left to the exit handler once gone
}

void TIBDatabase::RequireDetached() {
  if (handle_ != 0) RaiseClientError(ceDatabaseOpen);
}

void TIBDatabase::SetDatabaseName(const std::string& name) {
  if (name == databaseName_) return;
  RequireDetached();
  databaseName_ = name;
}

void TIBDatabase::SetParams(const TStrings& params) {
  RequireDetached();
  {
    TUpdateGuard update(params_);
    params_.Clear();
    for (int32_t i = 0; i < params.Count(); ++i) params_.Add(params.Strings(i));
  }
  paramsChanged_ = true;
}

void TIBDatabase::Login() {
  if (!OnLogin) {
    throw EIBError(
        "N\xE3o pode achar o login default no caixa de di\xE1logo.  Por favor inclua o "
        "di\xE1logo de login no programa principal.");
  }
  TStringList credentials;
  for (int32_t i = 0; i < params_.Count(); ++i) credentials.Add(params_.Strings(i));
  if (!OnLogin(credentials)) RaiseClientError(ceOperationCancelled);
  // The password stays out of Params; it joins the block only.
  hiddenPassword_ = credentials.Values("password");
  int32_t line = credentials.IndexOfName("password");
  if (line >= 0) credentials.Delete(line);
  SetParams(credentials);
}

void TIBDatabase::AttachDatabase() {
  RequireDetached();
  if (databaseName_.empty()) RaiseClientError(ceDatabaseNameMissing);
  if (!LoginPrompt && !hiddenPassword_.empty()) {
    hiddenPassword_.clear();
    paramsChanged_ = true;
  }
  if (LoginPrompt) Login();

  if (paramsChanged_) {
    // Built before the flag is cleared: a failed build leaves nothing to reuse.
    std::string block;
    if (LoginPrompt && !hiddenPassword_.empty()) {
      TStringList withPassword;
      for (int32_t i = 0; i < params_.Count(); ++i) withPassword.Add(params_.Strings(i));
      withPassword.Add("password=" + hiddenPassword_);
      block = BuildDpb(withPassword);
    } else {
      block = BuildDpb(params_);
    }
    dpb_ = std::move(block);
    paramsChanged_ = false;
  }

  ISC_STATUS result = gds_.isc_attach_database(
      ThreadStatusVector(), static_cast<int16_t>(databaseName_.size()), databaseName_.c_str(),
      &handle_, static_cast<int16_t>(dpb_.size()), dpb_.data());
  if (CheckStatus(result, false) > 0) {
    handle_ = 0;
    RaiseServerError();
  }

  static const bool closesAtExit = std::atexit(CloseOpenAttachmentsAtExit) == 0;
  (void)closesAtExit;
  OpenAttachments().insert(this);

  dbSqlDialect_ = QueryDatabaseDialect();
  if (dbSqlDialect_ < sqlDialect_) {
    sqlDialect_ = dbSqlDialect_;
    Fire(OnDialectDowngradeWarning);
  }
  MonitorHook().DBConnect(databaseName_, TraceFlags);
}

int32_t TIBDatabase::QueryDatabaseDialect() {
  const char item = isc_info_db_sql_dialect;
  char buffer[kInfoBufferLength] = {};
  ISC_STATUS result =
      gds_.isc_database_info(ThreadStatusVector(), &handle_, 1, &item, kInfoBufferLength, buffer);
  if (StatusVectorHolds({isc_lost_db_connection})) {
    CheckStatus(result, true);
  } else if (result > 0) {
    RaiseServerError();
  }
  if (buffer[0] != isc_info_db_sql_dialect) return 1;
  int32_t length = gds_.isc_vax_integer(buffer + 1, 2);
  // The value must lie inside the buffer, whatever length the answer claims.
  length = std::clamp(length, 0, kInfoBufferLength - 3);
  return gds_.isc_vax_integer(buffer + 3, static_cast<int16_t>(length));
}

ISC_STATUS TIBDatabase::CheckStatus(ISC_STATUS result, bool raise) {
  if (!raise) return result;
  if (StatusVectorHolds({isc_lost_db_connection, isc_net_read_err, isc_net_write_err})) {
    TServerError error = ComposeServerError();
    ForceDetach();
    MonitorHook().SQLError(error.TraceText());
    throw EIBInterBaseError(error.message, error.sqlCode, error.primaryCode);
  }
  if (result > 0) RaiseServerError();
  return result;
}

void TIBDatabase::DetachDatabase() {
  if (Connected()) {
    try {
      CloseAttachment(false);
    } catch (...) {
      ForceDetach();
      throw;
    }
  }
  dbSqlDialect_ = 1;
}

void TIBDatabase::CloseAttachment(bool force) {
  if (handle_ == 0) RaiseClientError(ceDatabaseClosed);
  if (!handleIsShared_) {
    ISC_STATUS result = gds_.isc_detach_database(ThreadStatusVector(), &handle_);
    if (result > 0 && !force) RaiseServerError();
  }
  handle_ = 0;
  handleIsShared_ = false;
  OpenAttachments().erase(this);
  MonitorHook().DBDisconnect(databaseName_, TraceFlags);
}

void TIBDatabase::ForceDetach() {
  if (!Connected()) return;
  Fire(BeforeDisconnect);
  CloseAttachment(true);
  Fire(AfterDisconnect);
}

}  // namespace orvo
