// The client library of the support database: one process-wide object that loads it and
// forwards each call unchanged.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "db/IB.h"
#include "host/Host.h"

namespace orvo {

using ISC_LONG = int32_t;
using isc_db_handle = uint32_t;  // opaque, null while detached

class IGDSLibrary {
 public:
  virtual ~IGDSLibrary() = default;

  // Opens the library and looks its entry points up; EOSError for a missing required one.
  virtual void LoadEntryPoints() = 0;
  virtual void FreeLibrary() = 0;
  // Loads the library if needed and reports whether it is loaded.
  virtual bool TryLoad() = 0;
  // Loads the library if needed; client error 1 when it cannot be.
  virtual void EnsureLoaded() = 0;
  // 10000 per major version.
  virtual int64_t ClientVersion() = 0;
  // The address of a library function; for a function this client lacks, raises the error of
  // its placeholder. nullptr for a name the layer does not know.
  virtual void* EntryPoint(std::string_view name) = 0;

  virtual ISC_STATUS isc_attach_database(ISC_STATUS* status, int16_t nameLength, const char* name,
                                         isc_db_handle* handle, int16_t dpbLength,
                                         const char* dpb) = 0;
  virtual ISC_STATUS isc_database_info(ISC_STATUS* status, isc_db_handle* handle,
                                       int16_t itemLength, const char* items, int16_t bufferLength,
                                       char* buffer) = 0;
  virtual ISC_LONG isc_vax_integer(const char* bytes, int16_t length) = 0;
  virtual ISC_STATUS isc_detach_database(ISC_STATUS* status, isc_db_handle* handle) = 0;
  virtual ISC_LONG isc_sqlcode(const ISC_STATUS* status) = 0;
  virtual ISC_LONG isc_interprete(char* buffer, const ISC_STATUS** cursor) = 0;
};

// The file names tried in order: exactly ORVO_CLIENT_LIBRARY when it is set, otherwise the
// Firebird client by the system's library search.
std::vector<std::string> ClientLibraryNames();

// The file name of the XML fetch functions' library, looked for in the client library's folder.
extern const char kXmlLibraryName[];

class TDynamicLibrary : public IGDSLibrary {
 public:
  // `names`: the library files to try, in order.
  explicit TDynamicLibrary(std::vector<std::string> names);

  void LoadEntryPoints() override;
  void FreeLibrary() override;
  bool TryLoad() override;
  void EnsureLoaded() override;
  int64_t ClientVersion() override;
  void* EntryPoint(std::string_view name) override;

  ISC_STATUS isc_attach_database(ISC_STATUS* status, int16_t nameLength, const char* name,
                                 isc_db_handle* handle, int16_t dpbLength,
                                 const char* dpb) override;
  ISC_STATUS isc_database_info(ISC_STATUS* status, isc_db_handle* handle, int16_t itemLength,
                               const char* items, int16_t bufferLength, char* buffer) override;
  ISC_LONG isc_vax_integer(const char* bytes, int16_t length) override;
  ISC_STATUS isc_detach_database(ISC_STATUS* status, isc_db_handle* handle) override;
  ISC_LONG isc_sqlcode(const ISC_STATUS* status) override;
  ISC_LONG isc_interprete(char* buffer, const ISC_STATUS** cursor) override;

 private:
  // A looked-up function, or a placeholder that raises `missing` (a message with %s).
  struct Entry {
    void* address = nullptr;
    int32_t clientError = 0;   // the placeholder raises this numbered error when non-zero
    const char* missing = "";  // otherwise this message
  };
  // Names of library functions: literals, which the table's keys point into.
  using Names = std::span<const char* const>;

  void Require(DynamicLibrary& library, Names names);
  void Optional(DynamicLibrary* library, Names names, bool required, int32_t clientError,
                const char* missing);
  bool Has(DynamicLibrary& library, const char* name);
  template <typename F>
  F Function(const char* name);

  std::vector<std::string> names_;
  std::unique_ptr<DynamicLibrary> library_;
  std::unique_ptr<DynamicLibrary> xmlLibrary_;
  std::unordered_map<std::string_view, Entry> entries_;
  int64_t clientVersion_ = 0;
};

// The process-wide client library object, created on the first call.
IGDSLibrary& GetClientLibrary();

// The failure the calling thread's status vector describes.
struct TServerError {
  int32_t sqlCode = 0;
  int32_t primaryCode = 0;
  std::string message;
  // "<sql code> <primary code> <message>", as the trace hook records it.
  std::string TraceText() const;
};
TServerError ComposeServerError();

// Raises EIBInterBaseError (EIBInterBaseRoleError for SQL code -551) for the calling thread's
// status vector, after reporting it to the trace hook.
[[noreturn]] void RaiseServerError();

}  // namespace orvo
