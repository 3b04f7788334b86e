// The database layer's status vector, exceptions and numbered client errors.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "common/SysUtils.h"

namespace orvo {

// One status vector entry: pointer-sized, as the client library's interface declares it here
// (a narrower entry would let the library write past the vector).
using ISC_STATUS = intptr_t;
inline constexpr int kStatusVectorLength = 20;

// Status codes the connection reacts to.
inline constexpr ISC_STATUS isc_arg_end = 0;
inline constexpr ISC_STATUS isc_arg_gds = 1;
inline constexpr ISC_STATUS isc_arg_cstring = 3;
inline constexpr ISC_STATUS isc_arg_number = 4;
inline constexpr ISC_STATUS isc_net_read_err = 335544726;
inline constexpr ISC_STATUS isc_net_write_err = 335544727;
inline constexpr ISC_STATUS isc_lost_db_connection = 335544741;

// The calling thread's status vector (kStatusVectorLength entries); every library call fills it.
ISC_STATUS* ThreadStatusVector();
// True when an error-code entry of the calling thread's status vector holds one of `codes`.
bool StatusVectorHolds(std::initializer_list<ISC_STATUS> codes);

ORVO_DECLARE_EXCEPTION(EDatabaseError, Exception);

// A database-layer failure with the SQL code and the client library's primary status code.
class EIBError : public EDatabaseError {
 public:
  EIBError(std::string message, int32_t sqlCode = 0, int32_t primaryCode = 0)
      : EDatabaseError(std::move(message)), sqlCode_(sqlCode), primaryCode_(primaryCode) {}
  const char* ClassName() const noexcept override { return "EIBError"; }
  int32_t SqlErrorCode() const noexcept { return sqlCode_; }
  int32_t PrimaryStatusCode() const noexcept { return primaryCode_; }

 private:
  int32_t sqlCode_;
  int32_t primaryCode_;
};

ORVO_DECLARE_EXCEPTION(EIBClientError, EIBError);
ORVO_DECLARE_EXCEPTION(EIBInterBaseError, EIBError);
ORVO_DECLARE_EXCEPTION(EIBInterBaseRoleError, EIBError);

// Numbered client errors (the rows of ClientErrorMessages this program raises).
inline constexpr int32_t ceLibraryNotFound = 1;
inline constexpr int32_t ceVersion6Function = 3;
inline constexpr int32_t ceOperationCancelled = 10;
inline constexpr int32_t ceDpbNotSupported = 11;
inline constexpr int32_t ceDatabaseClosed = 15;
inline constexpr int32_t ceDatabaseOpen = 16;
inline constexpr int32_t ceDatabaseNameMissing = 17;
inline constexpr int32_t ceDpbUnknown = 114;
inline constexpr int32_t ceDpbValueTooLong = 122;
inline constexpr int32_t ceDpbTooLong = 123;
inline constexpr int32_t ceMessageCount = 124;

// The message of client error `number` (empty for rows this program never raises).
const std::string& ClientErrorMessages(int32_t number);

// Fills the %s and %d placeholders of `pattern` with `args`, in order.
std::string FormatClientMessage(const std::string& pattern, const std::vector<std::string>& args);

// Raises EIBClientError `number` with its message formatted with `args`.
[[noreturn]] void RaiseClientError(int32_t number, const std::vector<std::string>& args = {});

}  // namespace orvo
