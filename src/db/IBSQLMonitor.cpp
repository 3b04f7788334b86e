#include "db/IBSQLMonitor.h"

namespace orvo {

int TIBSQLMonitorHook::RegisterMonitor(Monitor monitor) {
  std::lock_guard lock(mutex_);
  int id = nextId_++;
  monitors_.emplace(id, std::move(monitor));
  return id;
}

void TIBSQLMonitorHook::UnregisterMonitor(int id) {
  std::lock_guard lock(mutex_);
  monitors_.erase(id);
}

void TIBSQLMonitorHook::Write(const std::string& record) {
  std::lock_guard lock(mutex_);
  for (auto& [id, monitor] : monitors_) monitor(record);
}

void TIBSQLMonitorHook::SQLError(const std::string& text) { Write("[Error] " + text); }

void TIBSQLMonitorHook::DBConnect(const std::string& databaseName, TTraceFlags flags) {
  if (flags.Contains(TTraceFlag::tfConnect)) Write(databaseName + ": [Connect]");
}

void TIBSQLMonitorHook::DBDisconnect(const std::string& databaseName, TTraceFlags flags) {
  if (flags.Contains(TTraceFlag::tfConnect)) Write(databaseName + ": [Disconnect]");
}

TIBSQLMonitorHook& MonitorHook() {
  // Never destroyed: connections report their detach until the end of the process.
  static TIBSQLMonitorHook* hook = new TIBSQLMonitorHook;
  return *hook;
}

TIBSQLMonitor::TIBSQLMonitor()
    : id_(MonitorHook().RegisterMonitor([this](const std::string& record) {
        std::lock_guard lock(mutex_);
        records_.push_back(record);
      })) {}

TIBSQLMonitor::~TIBSQLMonitor() { MonitorHook().UnregisterMonitor(id_); }

std::vector<std::string> TIBSQLMonitor::Records() {
  std::lock_guard lock(mutex_);
  return records_;
}

}  // namespace orvo
