#include "db/IBIntf.h"

#include <cmath>

#include "db/IBSQLMonitor.h"

namespace orvo {
namespace {

// Every function of the interface that a loaded client must export, then the ones that
// depend on its version.
// clang-format off
constexpr const char* kRequired[] = {
    "BLOB_get", "BLOB_put", "isc_sqlcode", "isc_sql_interprete", "isc_interprete",
    "isc_vax_integer", "isc_blob_info", "isc_open_blob2", "isc_close_blob", "isc_get_segment",
    "isc_put_segment", "isc_create_blob2", "isc_cancel_blob", "isc_array_gen_sdl",
    "isc_array_get_slice", "isc_array_lookup_bounds", "isc_array_lookup_desc",
    "isc_array_set_desc", "isc_array_put_slice", "isc_blob_default_desc", "isc_blob_gen_bpb",
    "isc_blob_lookup_desc", "isc_blob_set_desc", "isc_decode_date", "isc_encode_date",
    "isc_dsql_free_statement", "isc_dsql_execute2", "isc_dsql_execute", "isc_dsql_set_cursor_name",
    "isc_dsql_fetch", "isc_dsql_sql_info", "isc_dsql_alloc_statement2", "isc_dsql_prepare",
    "isc_dsql_describe_bind", "isc_dsql_describe", "isc_dsql_execute_immediate",
    "isc_drop_database", "isc_detach_database", "isc_attach_database", "isc_database_info",
    "isc_start_multiple", "isc_commit_transaction", "isc_commit_retaining",
    "isc_rollback_transaction", "isc_cancel_events", "isc_que_events", "isc_event_counts",
    "isc_event_block", "isc_free", "isc_add_user", "isc_delete_user", "isc_modify_user",
    "isc_prepare_transaction", "isc_prepare_transaction2", "isc_transaction_info",
};
constexpr const char* kVersion6[] = {
    "isc_rollback_retaining", "isc_service_attach", "isc_service_detach", "isc_service_query",
    "isc_service_start", "isc_decode_sql_date", "isc_decode_sql_time", "isc_decode_timestamp",
    "isc_encode_sql_date", "isc_encode_sql_time", "isc_encode_timestamp",
};
constexpr const char* kVersionQuery[] = {
    "isc_get_client_version", "isc_get_client_major_version", "isc_get_client_minor_version",
};
constexpr const char* kVersion70[] = {
    "isc_array_gen_sdl2", "isc_array_get_slice2", "isc_array_lookup_bounds2",
    "isc_array_lookup_desc2", "isc_array_set_desc2", "isc_array_put_slice2",
    "isc_blob_default_desc2", "isc_blob_gen_bpb2", "isc_blob_lookup_desc2", "isc_blob_set_desc2",
};
constexpr const char* kVersion71[] = {
    "isc_release_savepoint", "isc_rollback_savepoint", "isc_start_savepoint",
};
constexpr const char* kVersion80[] = {
    "isc_dsql_batch_execute_immed", "isc_dsql_batch_execute",
};
constexpr const char* kXml[] = {
    "isc_dsql_xml_fetch", "isc_dsql_xml_fetch_all", "isc_dsql_xml_buffer_fetch",
};
// clang-format on

// The platform's client library by the system's search: the build names it (CMakeLists.txt).
const std::vector<std::string> kClientLibraries = {ORVO_CLIENT_LIBRARIES};

// The XML library is installed beside the client library, so it is looked for in that folder
// alone: the system's whole search for a library that is seldom there would cost every request
// dozens of failed lookups. Nothing when the client's folder is unknown or the file is missing.
std::unique_ptr<DynamicLibrary> OpenXmlLibraryBeside(const DynamicLibrary& client) {
  std::unique_ptr<DynamicLibrary> xml;
  std::string folder = client.Folder();
  if (folder.empty()) return xml;
  Host::Default().OpenLibrary(folder + kXmlLibraryName, &xml);
  return xml;
}

const char kNeeds70[] =
    "%s \xE9 uma fun\xE7\xE3o do InterBase 7.0. Por favor atualize para o InterBase 7.0 para "
    "usar esta fun\xE7\xE3o.";
const char kNeeds71[] =
    "%s \xE9 uma fun\xE7\xE3o do InterBase 7.1. Por favor atualize para o InterBase 7.1 para "
    "usar esta fun\xE7\xE3o.";
const char kNeeds80[] =
    "%s \xE9 uma fun\xE7\xE3o do InterBase 8.0. Por favor atualize para o InterBase 8.0 para "
    "usar esta fun\xE7\xE3o.";
const char kNeedsXml[] = "%s n\xE3o est\xE1 dispon\xEDvel: biblioteca XML n\xE3o encontrada.";

// The operating system's error for a failed lookup, as the system reports its failed calls.
[[noreturn]] void RaiseLastOSError(WinError code) {
  std::string text = "A call to an OS function failed";
  if (code != kErrorSuccess) {
    text = Host::Default().ErrorText(code);
    // As every system message in the program's errors: without its line end and full stop.
    while (!text.empty() &&
           (static_cast<unsigned char>(text.back()) <= ' ' || text.back() == '.')) {
      text.pop_back();
    }
  }
  throw EOSError("System Error.  Code: " + std::to_string(code) + ".\r\n" + text,
                 static_cast<int32_t>(code));
}

}  // namespace

// The companion library of the XML fetch functions: the build names it too.
const char kXmlLibraryName[] = ORVO_XML_LIBRARY;

std::vector<std::string> ClientLibraryNames() {
  if (auto exact = Host::Default().GetEnvironment("ORVO_CLIENT_LIBRARY")) return {*exact};
  return kClientLibraries;
}

TDynamicLibrary::TDynamicLibrary(std::vector<std::string> names) : names_(std::move(names)) {}

bool TDynamicLibrary::Has(DynamicLibrary& library, const char* name) {
  WinError ignored = kErrorSuccess;
  return library.Symbol(name, &ignored) != nullptr;
}

void TDynamicLibrary::Require(DynamicLibrary& library, Names names) {
  for (const char* name : names) {
    WinError error = kErrorSuccess;
    void* address = library.Symbol(name, &error);
    if (address == nullptr) RaiseLastOSError(error);
    entries_[name] = Entry{address, 0, ""};
  }
}

void TDynamicLibrary::Optional(DynamicLibrary* library, Names names, bool required,
                               int32_t clientError, const char* missing) {
  if (required) {
    Require(*library, names);
    return;
  }
  for (const char* name : names) entries_[name] = Entry{nullptr, clientError, missing};
}

void TDynamicLibrary::LoadEntryPoints() {
  std::unique_ptr<DynamicLibrary> library;
  for (const std::string& name : names_) {
    if (!name.empty() && Host::Default().OpenLibrary(name, &library) == kErrorSuccess) break;
  }
  if (library == nullptr) return;

  // Filled into a fresh table: a failed lookup leaves the object not loaded.
  entries_.clear();
  try {
    Require(*library, kRequired);

    bool version6 = Has(*library, "isc_rollback_retaining");
    clientVersion_ = version6 ? 60000 : 50000;
    Optional(library.get(), kVersion6, version6, ceVersion6Function, "");

    if (Has(*library, "isc_get_client_version")) {
      Require(*library, kVersionQuery);
      auto major = reinterpret_cast<int (*)()>(entries_["isc_get_client_major_version"].address);
      auto minor = reinterpret_cast<int (*)()>(entries_["isc_get_client_minor_version"].address);
      clientVersion_ = std::llround((major() + minor() / 10.0) * 10000);
    } else {
      Optional(nullptr, kVersionQuery, false, 0, kNeeds70);
    }
    Optional(library.get(), kVersion70, clientVersion_ >= 70000, 0, kNeeds70);
    Optional(library.get(), kVersion71, clientVersion_ >= 71000, 0, kNeeds71);
    Optional(library.get(), kVersion80, clientVersion_ >= 80000, 0, kNeeds80);

    std::unique_ptr<DynamicLibrary> xml = OpenXmlLibraryBeside(*library);
    Optional(xml.get(), kXml, xml != nullptr, 0, kNeedsXml);
    xmlLibrary_ = std::move(xml);
  } catch (...) {
    entries_.clear();
    clientVersion_ = 0;
    throw;
  }
  library_ = std::move(library);
}

void TDynamicLibrary::FreeLibrary() {
  entries_.clear();
  xmlLibrary_.reset();
  library_.reset();
  clientVersion_ = 0;
}

bool TDynamicLibrary::TryLoad() {
  if (library_ == nullptr) LoadEntryPoints();
  return library_ != nullptr;
}

void TDynamicLibrary::EnsureLoaded() {
  if (!TryLoad()) RaiseClientError(ceLibraryNotFound);
}

int64_t TDynamicLibrary::ClientVersion() {
  EnsureLoaded();
  return clientVersion_;
}

void* TDynamicLibrary::EntryPoint(std::string_view name) {
  EnsureLoaded();
  auto found = entries_.find(name);
  if (found == entries_.end()) return nullptr;
  const Entry& entry = found->second;
  if (entry.address != nullptr) return entry.address;
  if (entry.clientError != 0) RaiseClientError(entry.clientError, {std::string(name)});
  throw EIBClientError(FormatClientMessage(entry.missing, {std::string(name)}));
}

template <typename F>
F TDynamicLibrary::Function(const char* name) {
  return reinterpret_cast<F>(EntryPoint(name));
}

ISC_STATUS TDynamicLibrary::isc_attach_database(ISC_STATUS* status, int16_t nameLength,
                                                const char* name, isc_db_handle* handle,
                                                int16_t dpbLength, const char* dpb) {
  using F = ISC_STATUS (*)(ISC_STATUS*, int16_t, const char*, isc_db_handle*, int16_t, const char*);
  return Function<F>("isc_attach_database")(status, nameLength, name, handle, dpbLength, dpb);
}

ISC_STATUS TDynamicLibrary::isc_database_info(ISC_STATUS* status, isc_db_handle* handle,
                                              int16_t itemLength, const char* items,
                                              int16_t bufferLength, char* buffer) {
  using F = ISC_STATUS (*)(ISC_STATUS*, isc_db_handle*, int16_t, const char*, int16_t, char*);
  return Function<F>("isc_database_info")(status, handle, itemLength, items, bufferLength, buffer);
}

ISC_LONG TDynamicLibrary::isc_vax_integer(const char* bytes, int16_t length) {
  using F = ISC_LONG (*)(const char*, int16_t);
  return Function<F>("isc_vax_integer")(bytes, length);
}

ISC_STATUS TDynamicLibrary::isc_detach_database(ISC_STATUS* status, isc_db_handle* handle) {
  using F = ISC_STATUS (*)(ISC_STATUS*, isc_db_handle*);
  return Function<F>("isc_detach_database")(status, handle);
}

ISC_LONG TDynamicLibrary::isc_sqlcode(const ISC_STATUS* status) {
  using F = ISC_LONG (*)(const ISC_STATUS*);
  return Function<F>("isc_sqlcode")(status);
}

ISC_LONG TDynamicLibrary::isc_interprete(char* buffer, const ISC_STATUS** cursor) {
  using F = ISC_LONG (*)(char*, const ISC_STATUS**);
  return Function<F>("isc_interprete")(buffer, cursor);
}

IGDSLibrary& GetClientLibrary() {
  // Never destroyed: connections that live until the end of the process detach through it.
  static TDynamicLibrary* library = new TDynamicLibrary(ClientLibraryNames());
  return *library;
}

std::string TServerError::TraceText() const {
  return std::to_string(sqlCode) + " " + std::to_string(primaryCode) + " " + message;
}

TServerError ComposeServerError() {
  IGDSLibrary& gds = GetClientLibrary();
  const ISC_STATUS* status = ThreadStatusVector();
  TServerError error;
  error.primaryCode = static_cast<int32_t>(status[1]);
  error.sqlCode = gds.isc_sqlcode(status);

  std::string buffer(20480, '\0');
  const ISC_STATUS* cursor = status;
  // Each line consumes at least one entry, so a vector holds no more lines than entries.
  for (int line = 0; line < kStatusVectorLength; ++line) {
    if (gds.isc_interprete(buffer.data(), &cursor) <= 0) break;
    if (!error.message.empty() && error.message.back() != '\n') error.message += "\r\n";
    error.message += buffer.c_str();
  }
  if (!error.message.empty() && error.message.back() == '.') error.message.pop_back();
  return error;
}

void RaiseServerError() {
  TServerError error = ComposeServerError();
  MonitorHook().SQLError(error.TraceText());
  if (error.sqlCode == -551) {
    throw EIBInterBaseRoleError(error.message, error.sqlCode, error.primaryCode);
  }
  throw EIBInterBaseError(error.message, error.sqlCode, error.primaryCode);
}

}  // namespace orvo
