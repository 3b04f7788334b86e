// The connection that attaches the process to one database through the client library.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "common/Classes.h"
#include "db/IBIntf.h"
#include "db/IBSQLMonitor.h"

namespace orvo {

using TNotifyEvent = std::function<void()>;

// The connect/disconnect protocol over three steps that a connection supplies.
class TCustomConnection {
 public:
  virtual ~TCustomConnection() = default;

  bool Connected() { return GetConnected(); }
  // Does nothing when `value` equals Connected(); otherwise runs the events and the step.
  void SetConnected(bool value);

  TNotifyEvent BeforeConnect;
  TNotifyEvent AfterConnect;
  TNotifyEvent BeforeDisconnect;
  TNotifyEvent AfterDisconnect;

 protected:
  virtual void DoConnect() = 0;
  virtual void DoDisconnect() = 0;
  virtual bool GetConnected() = 0;
};

class TIBDatabase : public TCustomConnection {
 public:
  // Loads the client library: client error 1 (or EOSError) when it cannot be loaded.
  TIBDatabase();
  ~TIBDatabase() override;
  TIBDatabase(const TIBDatabase&) = delete;
  TIBDatabase& operator=(const TIBDatabase&) = delete;

  const std::string& DatabaseName() const { return databaseName_; }
  // Client error 16 while attached, unless the name is unchanged.
  void SetDatabaseName(const std::string& name);

  // Changing the lines while attached raises client error 16 and leaves them unchanged.
  TStringList& Params() { return params_; }
  void SetParams(const TStrings& params);

  int32_t SQLDialect() const { return sqlDialect_; }
  void SetSQLDialect(int32_t dialect) { sqlDialect_ = dialect; }
  // The attached database's dialect; 1 after a detach.
  int32_t DBSQLDialect() const { return dbSqlDialect_; }

  isc_db_handle Handle() const { return handle_; }
  bool IsAttached() const { return handle_ != 0; }
  // Closes the attachment ignoring every error of the client library.
  void ForceDetach();
  // Returns `result`; in raising mode a lost connection detaches by force and raises, and any
  // other failure raises the server error.
  ISC_STATUS CheckStatus(ISC_STATUS result, bool raise);

  bool LoginPrompt = true;
  TTraceFlags TraceFlags;
  // Asked for the credentials when LoginPrompt is set: gets a copy of Params to fill in;
  // false refuses the login.
  std::function<bool(TStringList& params)> OnLogin;
  TNotifyEvent OnDialectDowngradeWarning;

 protected:
  void DoConnect() override { AttachDatabase(); }
  void DoDisconnect() override { DetachDatabase(); }
  bool GetConnected() override { return IsAttached(); }

  void AttachDatabase();
  void DetachDatabase();
  void CloseAttachment(bool force);

 private:
  static void CloseOpenAttachmentsAtExit();
  void RequireDetached();
  void Login();
  int32_t QueryDatabaseDialect();

  IGDSLibrary& gds_;
  std::string databaseName_;
  TStringList params_;
  isc_db_handle handle_ = 0;
  bool handleIsShared_ = false;
  std::string dpb_;
  bool paramsChanged_ = true;
  std::string hiddenPassword_;
  int32_t sqlDialect_ = 3;
  int32_t dbSqlDialect_ = 3;
};

}  // namespace orvo
