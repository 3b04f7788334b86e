// A form body read as it arrives, for a handler that stores one large field without holding the
// body whole: the fields before it are decoded as usual, its value is decoded chunk by chunk for
// the handler, and the rest of the body is read and checked as the whole decoding checks it.
#pragma once

#include <exception>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "common/Classes.h"
#include "web/FormFields.h"
#include "web/RequestBody.h"

namespace orvo {

class TFormStream {
 public:
  explicit TFormStream(TRequestBody& body) : body_(body) {}

  // Reads the body until the first field named `name` (compared as TStrings compares names)
  // proves large. True then, with the fields before it in Fields(). False, having given back all
  // it read, when the body ends first, or a field before it is large, repeats the name or does
  // not decode: the body is then read and decoded whole as usual.
  bool FindLargeField(const std::string& name);
  // The decoded fields: those before the large field; after CopyValue, every field, the large
  // one's value left out as TStrings::TakeValue leaves it.
  const TStringList& Fields() const { return fields_; }

  // Gives back what FindLargeField read, for a caller that decodes the body whole after all.
  void GiveBack();

  // Decodes the value of the field found into `write`, then reads and decodes the rest of the
  // body. Fails as the whole decoding fails: EWebException when the body was cut short, else the
  // first field that does not decode. Returns the failure of `write`, if any, which is not called
  // again after failing.
  std::exception_ptr CopyValue(const std::function<void(std::string_view)>& write);

 private:
  std::string_view ReadChunk();

  TRequestBody& body_;
  FormSplitter splitter_;
  std::string held_;   // every byte read while looking, to give back
  std::string field_;  // the bytes of the current field so far
  std::string name_;   // the large field's name as sent
  TStringList fields_;
  std::vector<char> chunk_;
};

}  // namespace orvo
