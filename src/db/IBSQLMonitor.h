// The SQL trace hook: a copy of every error text and of traced connects and disconnects,
// passed to the monitors registered in this process and dropped while none is.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace orvo {

enum class TTraceFlag {
  tfQPrepare,
  tfQExecute,
  tfQFetch,
  tfError,
  tfStmt,
  tfConnect,
  tfTransact,
  tfBlob,
  tfService,
  tfMisc
};

// A set of trace categories.
class TTraceFlags {
 public:
  TTraceFlags() = default;
  TTraceFlags(std::initializer_list<TTraceFlag> flags) {
    for (TTraceFlag flag : flags) Include(flag);
  }
  void Include(TTraceFlag flag) { bits_ |= Bit(flag); }
  void Exclude(TTraceFlag flag) { bits_ &= ~Bit(flag); }
  bool Contains(TTraceFlag flag) const { return (bits_ & Bit(flag)) != 0; }
  bool Empty() const { return bits_ == 0; }

 private:
  static uint32_t Bit(TTraceFlag flag) { return 1u << static_cast<int>(flag); }
  uint32_t bits_ = 0;
};

class TIBSQLMonitorHook {
 public:
  using Monitor = std::function<void(const std::string& record)>;

  // Registers a monitor and returns its id.
  int RegisterMonitor(Monitor monitor);
  void UnregisterMonitor(int id);

  // "[Error] " + text.
  void SQLError(const std::string& text);
  // "<database name>: [Connect]" / ": [Disconnect]", when `flags` contain tfConnect.
  void DBConnect(const std::string& databaseName, TTraceFlags flags);
  void DBDisconnect(const std::string& databaseName, TTraceFlags flags);

 private:
  void Write(const std::string& record);

  std::mutex mutex_;
  std::map<int, Monitor> monitors_;
  int nextId_ = 1;
};

// The process-wide hook, created on first use.
TIBSQLMonitorHook& MonitorHook();

// A monitor that keeps the records it receives while it lives.
class TIBSQLMonitor {
 public:
  TIBSQLMonitor();
  ~TIBSQLMonitor();
  TIBSQLMonitor(const TIBSQLMonitor&) = delete;
  TIBSQLMonitor& operator=(const TIBSQLMonitor&) = delete;
  std::vector<std::string> Records();

 private:
  std::mutex mutex_;
  std::vector<std::string> records_;
  int id_;
};

}  // namespace orvo
