// A stand-in for the database client library whose answers the tests steer through the
// environment, read at every call:
//   FBSTUB_VERSION      "major.minor" reported by the version functions (default 3.0)
//   FBSTUB_ATTACH_FAIL  status code with which the attach fails
//   FBSTUB_INFO_FAIL    status code with which the database-info call fails
//   FBSTUB_DETACH_FAIL  status code with which the detach fails
//   FBSTUB_DIALECT      dialect the database-info call answers (default 3; "none" omits it)
//   FBSTUB_SQLCODE      SQL code of any failure (default -902)
//   FBSTUB_MESSAGES     message lines of a failure, separated by '|'
//   FBSTUB_LOG          file to which every attach, info and detach call appends a line
// Built twice: complete, and without isc_detach_database (FBSTUB_WITHOUT_DETACH).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using Status = intptr_t;
using Handle = uint32_t;

namespace {

const char* Env(const char* name) { return std::getenv(name); }

long EnvNumber(const char* name, long fallback) {
  const char* text = Env(name);
  return text != nullptr && *text != '\0' ? std::strtol(text, nullptr, 10) : fallback;
}

void Log(const std::string& line) {
  const char* file = Env("FBSTUB_LOG");
  if (file == nullptr) return;
  if (FILE* out = std::fopen(file, "ab")) {
    std::fputs((line + "\n").c_str(), out);
    std::fclose(out);
  }
}

std::string Hex(const char* bytes, int length) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (int i = 0; i < length; ++i) {
    auto c = static_cast<unsigned char>(bytes[i]);
    out += kHex[c >> 4];
    out += kHex[c & 15];
  }
  return out;
}

std::vector<std::string> MessageLines() {
  const char* text = Env("FBSTUB_MESSAGES");
  std::string all = text != nullptr ? text : "stub failure.";
  std::vector<std::string> lines;
  size_t start = 0;
  for (;;) {
    size_t bar = all.find('|', start);
    lines.push_back(all.substr(start, bar - start));
    if (bar == std::string::npos) return lines;
    start = bar + 1;
  }
}

// Fails with `code` as the primary code and one further entry per extra message line.
Status Fail(Status* status, long code) {
  size_t lines = MessageLines().size();
  int i = 0;
  status[i++] = 1;
  status[i++] = code;
  for (size_t line = 1; line < lines && i + 3 < 20; ++line) {
    status[i++] = 4;  // a number argument carrying the line's index
    status[i++] = static_cast<Status>(line);
  }
  status[i] = 0;
  return code;
}

Status Succeed(Status* status) {
  status[0] = 1;
  status[1] = 0;
  status[2] = 0;
  return 0;
}

}  // namespace

extern "C" {

Status isc_attach_database(Status* status, short nameLength, const char* name, Handle* handle,
                           short dpbLength, const char* dpb) {
  std::string db = nameLength > 0 ? std::string(name, nameLength) : std::string(name);
  Log("attach " + db + " " + Hex(dpb, dpbLength));
  if (long code = EnvNumber("FBSTUB_ATTACH_FAIL", 0)) return Fail(status, code);
  *handle = 7;
  return Succeed(status);
}

Status isc_database_info(Status* status, Handle* handle, short, const char* items, short length,
                         char* buffer) {
  Log("info " + std::to_string(*handle) + " " + Hex(items, 1));
  if (long code = EnvNumber("FBSTUB_INFO_FAIL", 0)) return Fail(status, code);
  const char* dialect = Env("FBSTUB_DIALECT");
  std::memset(buffer, 0, length);
  if (dialect != nullptr && std::strcmp(dialect, "none") == 0) {
    buffer[0] = 1;  // the end item
  } else {
    buffer[0] = items[0];
    buffer[1] = 1;
    buffer[2] = 0;
    buffer[3] = static_cast<char>(EnvNumber("FBSTUB_DIALECT", 3));
  }
  return Succeed(status);
}

int isc_vax_integer(const char* bytes, short length) {
  int value = 0;
  for (int i = 0; i < length && i < 4; ++i)
    value |= (static_cast<unsigned char>(bytes[i]) << (8 * i));
  return value;
}

#ifndef FBSTUB_WITHOUT_DETACH
Status isc_detach_database(Status* status, Handle* handle) {
  Log("detach " + std::to_string(*handle));
  if (long code = EnvNumber("FBSTUB_DETACH_FAIL", 0)) return Fail(status, code);
  *handle = 0;
  return Succeed(status);
}
#endif

int isc_sqlcode(const Status*) { return static_cast<int>(EnvNumber("FBSTUB_SQLCODE", -902)); }

int isc_interprete(char* buffer, const Status** cursor) {
  const Status* entry = *cursor;
  if (entry[0] == 0) return 0;
  size_t line = entry[0] == 4 ? static_cast<size_t>(entry[1]) : 0;
  std::vector<std::string> lines = MessageLines();
  std::string text = line < lines.size() ? lines[line] : "";
  std::memcpy(buffer, text.c_str(), text.size() + 1);
  *cursor = entry + 2;
  return static_cast<int>(text.size()) + 1;
}

void isc_get_client_version(char* buffer) { std::strcpy(buffer, "stub"); }
int isc_get_client_major_version() {
  const char* version = Env("FBSTUB_VERSION");
  return version != nullptr ? std::atoi(version) : 3;
}
int isc_get_client_minor_version() {
  const char* version = Env("FBSTUB_VERSION");
  const char* dot = version != nullptr ? std::strchr(version, '.') : nullptr;
  return dot != nullptr ? std::atoi(dot + 1) : 0;
}

// The rest of the interface: present so the library loads, never called by the program.
#define FBSTUB_UNUSED(name) \
  Status name() { return 0; }
FBSTUB_UNUSED(BLOB_get)
FBSTUB_UNUSED(BLOB_put)
FBSTUB_UNUSED(isc_sql_interprete)
FBSTUB_UNUSED(isc_blob_info)
FBSTUB_UNUSED(isc_open_blob2)
FBSTUB_UNUSED(isc_close_blob)
FBSTUB_UNUSED(isc_get_segment)
FBSTUB_UNUSED(isc_put_segment)
FBSTUB_UNUSED(isc_create_blob2)
FBSTUB_UNUSED(isc_cancel_blob)
FBSTUB_UNUSED(isc_array_gen_sdl)
FBSTUB_UNUSED(isc_array_get_slice)
FBSTUB_UNUSED(isc_array_lookup_bounds)
FBSTUB_UNUSED(isc_array_lookup_desc)
FBSTUB_UNUSED(isc_array_set_desc)
FBSTUB_UNUSED(isc_array_put_slice)
FBSTUB_UNUSED(isc_blob_default_desc)
FBSTUB_UNUSED(isc_blob_gen_bpb)
FBSTUB_UNUSED(isc_blob_lookup_desc)
FBSTUB_UNUSED(isc_blob_set_desc)
FBSTUB_UNUSED(isc_decode_date)
FBSTUB_UNUSED(isc_encode_date)
FBSTUB_UNUSED(isc_dsql_free_statement)
FBSTUB_UNUSED(isc_dsql_execute2)
FBSTUB_UNUSED(isc_dsql_execute)
FBSTUB_UNUSED(isc_dsql_set_cursor_name)
FBSTUB_UNUSED(isc_dsql_fetch)
FBSTUB_UNUSED(isc_dsql_sql_info)
FBSTUB_UNUSED(isc_dsql_alloc_statement2)
FBSTUB_UNUSED(isc_dsql_prepare)
FBSTUB_UNUSED(isc_dsql_describe_bind)
FBSTUB_UNUSED(isc_dsql_describe)
FBSTUB_UNUSED(isc_dsql_execute_immediate)
FBSTUB_UNUSED(isc_drop_database)
FBSTUB_UNUSED(isc_start_multiple)
FBSTUB_UNUSED(isc_commit_transaction)
FBSTUB_UNUSED(isc_commit_retaining)
FBSTUB_UNUSED(isc_rollback_transaction)
FBSTUB_UNUSED(isc_cancel_events)
FBSTUB_UNUSED(isc_que_events)
FBSTUB_UNUSED(isc_event_counts)
FBSTUB_UNUSED(isc_event_block)
FBSTUB_UNUSED(isc_free)
FBSTUB_UNUSED(isc_add_user)
FBSTUB_UNUSED(isc_delete_user)
FBSTUB_UNUSED(isc_modify_user)
FBSTUB_UNUSED(isc_prepare_transaction)
FBSTUB_UNUSED(isc_prepare_transaction2)
FBSTUB_UNUSED(isc_transaction_info)
FBSTUB_UNUSED(isc_rollback_retaining)
FBSTUB_UNUSED(isc_service_attach)
FBSTUB_UNUSED(isc_service_detach)
FBSTUB_UNUSED(isc_service_query)
FBSTUB_UNUSED(isc_service_start)
FBSTUB_UNUSED(isc_decode_sql_date)
FBSTUB_UNUSED(isc_decode_sql_time)
FBSTUB_UNUSED(isc_decode_timestamp)
FBSTUB_UNUSED(isc_encode_sql_date)
FBSTUB_UNUSED(isc_encode_sql_time)
FBSTUB_UNUSED(isc_encode_timestamp)
FBSTUB_UNUSED(isc_array_gen_sdl2)
FBSTUB_UNUSED(isc_array_get_slice2)
FBSTUB_UNUSED(isc_array_lookup_bounds2)
FBSTUB_UNUSED(isc_array_lookup_desc2)
FBSTUB_UNUSED(isc_array_set_desc2)
FBSTUB_UNUSED(isc_array_put_slice2)
FBSTUB_UNUSED(isc_blob_default_desc2)
FBSTUB_UNUSED(isc_blob_gen_bpb2)
FBSTUB_UNUSED(isc_blob_lookup_desc2)
FBSTUB_UNUSED(isc_blob_set_desc2)
FBSTUB_UNUSED(isc_release_savepoint)
FBSTUB_UNUSED(isc_rollback_savepoint)
FBSTUB_UNUSED(isc_start_savepoint)
FBSTUB_UNUSED(isc_dsql_batch_execute_immed)
FBSTUB_UNUSED(isc_dsql_batch_execute)

}  // extern "C"
