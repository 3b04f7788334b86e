#include "db/Dpb.h"

#include <cstdint>

#include "common/SysUtilsText.h"
#include "db/IB.h"

namespace orvo {

// clang-format off
const std::array<const char*, 83> DpbParameterNames = {
    "cdd_pathname", "allocation", "journal", "page_size", "num_buffers", "buffer_length", "debug",
    "garbage_collect", "verify", "sweep", "enable_journal", "disable_journal", "dbkey_scope",
    "number_of_users", "trace", "no_garbage_collect", "damaged", "license", "sys_user_name",
    "encrypt_key", "activate_shadow", "sweep_interval", "delete_shadow", "force_write",
    "begin_log", "quit_log", "no_reserve", "user_name", "password", "password_enc",
    "sys_user_name_enc", "interp", "online_dump", "old_file_size", "old_num_files",
    "old_file_name", "old_start_page", "old_start_seqno", "old_start_file", "drop_walfile",
    "old_dump_id", "wal_backup_dir", "wal_chkptlen", "wal_numbufs", "wal_bufsize",
    "wal_grp_cmt_wait", "lc_messages", "lc_ctype", "cache_manager", "shutdown", "online",
    "shutdown_delay", "reserved", "overwrite", "sec_attach", "disable_wal", "connect_timeout",
    "dummy_packet_interval", "gbak_attach", "sql_role_name", "set_page_buffers",
    "working_directory", "sql_dialect", "set_db_readonly", "set_db_sql_dialect", "gfix_attach",
    "gstat_attach", "gbak_ods_version", "gbak_ods_minor_version", "set_group_commit",
    "gbak_validate", "client_interbase_var", "admin_option", "flush_interval", "instance_name",
    "old_overwrite", "archive_database", "archive_journals", "archive_sweep", "archive_dumps",
    "archive_recover", "recover_until", "force",
};
// clang-format on

namespace {

enum class DpbClass { kNone, kString, kByte, kSweep, kFourByte, kFlag };

constexpr int kSqlDialect = 63;

// clang-format off
DpbClass ClassOf(int code) {
  switch (code) {
    case 18: case 19: case 20: case 28: case 29: case 30:
    case 36: case 47: case 48: case 60: case 63: case 75:
      return DpbClass::kString;
    case 5: case 9: case 13: case 17: case 24: case 27: case 33: case 34: case 54:
      return DpbClass::kByte;
    case 10:
      return DpbClass::kSweep;
    case 22:
      return DpbClass::kFourByte;
    case 21: case 23: case 25: case 26:
      return DpbClass::kFlag;
    default:
      return DpbClass::kNone;
  }
}
// clang-format on

// The position of `name` in the table, 1 to 83, or 0.
int CodeOf(const std::string& name) {
  for (size_t i = 0; i < DpbParameterNames.size(); ++i) {
    if (name == DpbParameterNames[i]) return static_cast<int>(i) + 1;
  }
  return 0;
}

void AppendItem(std::string& block, int code, const std::string& value) {
  block += static_cast<char>(code);
  block += static_cast<char>(value.size());
  block += value;
}

}  // namespace

std::string BuildDpb(const TStrings& params) {
  std::string block(1, isc_dpb_version1);
  for (int32_t i = 0; i < params.Count(); ++i) {
    std::string written = params.Names(i);
    if (Trim(written).empty()) continue;
    std::string name = LowercaseAscii(written);
    std::string value = params.Strings(i).substr(written.size() + 1);
    if (name.rfind("isc_dpb_", 0) == 0) name.erase(0, 8);

    int code = CodeOf(name);
    switch (ClassOf(code)) {
      case DpbClass::kString:
        if (code == kSqlDialect && !value.empty()) value[0] = static_cast<char>(value[0] - '0');
        if (value.size() > kDpbMaxValueLength) RaiseClientError(ceDpbValueTooLong, {name});
        AppendItem(block, code, value);
        break;
      case DpbClass::kByte:
        AppendItem(block, code, std::string(1, static_cast<char>(StrToInt(value))));
        break;
      case DpbClass::kSweep:
        AppendItem(block, code, std::string(1, 2));
        break;
      case DpbClass::kFourByte: {
        uint32_t number = static_cast<uint32_t>(StrToInt(value));
        std::string bytes;
        for (int shift = 0; shift < 32; shift += 8) bytes += static_cast<char>(number >> shift);
        AppendItem(block, code, bytes);
        break;
      }
      case DpbClass::kFlag:
        AppendItem(block, code, std::string(1, 0));
        break;
      case DpbClass::kNone:
        if (code == 0) RaiseClientError(ceDpbUnknown, {written});
        RaiseClientError(ceDpbNotSupported, {name});
    }
    if (block.size() > kDpbMaxLength) RaiseClientError(ceDpbTooLong);
  }
  return block;
}

}  // namespace orvo
