// The exception base of the program and the failure classes that the common units raise.
// Every failure carries a message and reports its class name as the error pages print it.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace orvo {

// The common root of the objects that are passed around as a "Sender".
class TObject {
 public:
  virtual ~TObject() = default;
};

class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  const std::string& Message() const noexcept { return message_; }
  void SetMessage(std::string message) { message_ = std::move(message); }
  virtual const char* ClassName() const noexcept { return "Exception"; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

// Declares a failure class that only names itself.
#define ORVO_DECLARE_EXCEPTION(Name, Base)                            \
  class Name : public Base {                                          \
   public:                                                            \
    using Base::Base;                                                 \
    const char* ClassName() const noexcept override { return #Name; } \
  }

ORVO_DECLARE_EXCEPTION(EConvertError, Exception);
ORVO_DECLARE_EXCEPTION(EOutOfMemory, Exception);
ORVO_DECLARE_EXCEPTION(EStringListError, Exception);
ORVO_DECLARE_EXCEPTION(EStreamError, Exception);
ORVO_DECLARE_EXCEPTION(EFileStreamError, EStreamError);
ORVO_DECLARE_EXCEPTION(EFCreateError, EFileStreamError);
ORVO_DECLARE_EXCEPTION(EFOpenError, EFileStreamError);
ORVO_DECLARE_EXCEPTION(EFilerError, EStreamError);
ORVO_DECLARE_EXCEPTION(EReadError, EFilerError);
ORVO_DECLARE_EXCEPTION(EWriteError, EFilerError);
ORVO_DECLARE_EXCEPTION(EWebException, Exception);
ORVO_DECLARE_EXCEPTION(EMaskException, Exception);
ORVO_DECLARE_EXCEPTION(ERegistryException, Exception);

// A failure that carries the host's numeric error code besides its message.
class ECodedError : public Exception {
 public:
  ECodedError(std::string message, int32_t code) : Exception(std::move(message)), code_(code) {}
  int32_t ErrorCode() const noexcept { return code_; }

 private:
  int32_t code_;
};

ORVO_DECLARE_EXCEPTION(EInOutError, ECodedError);
ORVO_DECLARE_EXCEPTION(EOSError, ECodedError);

}  // namespace orvo
