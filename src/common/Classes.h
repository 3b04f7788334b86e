// The string list and the byte streams.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "host/Host.h"

namespace orvo {

class TStream;

// An ordered list of byte strings (code page 1252) with a name=value view and a text view.
// TStrings implements the views and the file operations over the primitives a concrete list
// supplies; TStringList is the concrete list.
class TStrings {
 public:
  virtual ~TStrings() = default;

  // Primitives.
  virtual int32_t Count() const = 0;
  virtual std::string Strings(int32_t index) const = 0;  // EStringListError out of bounds
  virtual void PutStrings(int32_t index, const std::string& value) = 0;
  // Takes the string by value, so a caller that hands over a temporary moves it in.
  virtual void Insert(int32_t index, std::string value) = 0;
  virtual void Delete(int32_t index) = 0;
  virtual void Clear() = 0;
  virtual void BeginUpdate() = 0;
  virtual void EndUpdate() = 0;

  // Appends a string and returns its index.
  virtual int32_t Add(std::string value);
  virtual int32_t IndexOf(const std::string& value) const;
  // Name part: everything before the first '=' (the search stops at a NUL); "" without '='.
  std::string Names(int32_t index) const;
  virtual int32_t IndexOfName(const std::string& name) const;
  virtual std::string Values(const std::string& name) const;
  // Moves the value that Values(name) reads out of the list, leaving the string's name and its
  // "=" behind; "" when no string has the name. For values too large to copy.
  virtual std::string TakeValue(const std::string& name);

  // Every string followed by CR LF.
  virtual std::string Text() const;
  // Replaces the contents by the lines of `text` (CR LF, LF or CR end a line; a NUL ends all).
  virtual void SetText(const std::string& text);

  // File and stream operations.
  virtual void SaveToFile(const std::string& fileName) const;
  virtual void SaveToStream(TStream& stream) const;
  virtual void LoadFromFile(const std::string& fileName);
  virtual void LoadFromStream(TStream& stream);

 protected:
  // Compares a name part with a wanted name; 0 when equal.
  virtual int32_t CompareStrings(const std::string& a, const std::string& b) const;
};

// The text that loading `fileName` into a list and reading its Text gives (every line break
// made CR LF, one after a last line without one, nothing after a NUL), built without holding the
// lines: a list of a file of line feeds costs a string per byte. EFOpenError as LoadFromFile.
std::string LoadTextFromFile(const std::string& fileName);

class TStringList : public TStrings {
 public:
  using ChangeHook = std::function<void(TStringList&)>;

  TStringList() = default;

  int32_t Count() const override { return static_cast<int32_t>(items_.size()); }
  std::string Strings(int32_t index) const override;
  void PutStrings(int32_t index, const std::string& value) override;
  void Insert(int32_t index, std::string value) override;
  void Delete(int32_t index) override;
  void Clear() override;
  void BeginUpdate() override;
  void EndUpdate() override;
  using TStrings::Add;
  // The lookups and the save read the items in place: a field can hold a whole batch.
  int32_t IndexOfName(const std::string& name) const override;
  std::string Values(const std::string& name) const override;
  std::string TakeValue(const std::string& name) override;
  // Joins straight from the items, without copying each string first.
  std::string Text() const override;
  // Writes the bytes of Text() without building it.
  void SaveToStream(TStream& stream) const override;

  int32_t Capacity() const { return capacity_; }

  // Called around every modification while no update bracket is open.
  ChangeHook BeforeChange;
  ChangeHook AfterChange;

 private:
  void Changing();
  void Changed();
  void Grow();

  std::vector<std::string> items_;
  int32_t capacity_ = 0;
  int32_t updateDepth_ = 0;
};

// Opens an update bracket for the lifetime of the guard. A raise from the closing hook
// leaves the guard, unless another failure is already on its way out.
class TUpdateGuard {
 public:
  explicit TUpdateGuard(TStrings& list);
  ~TUpdateGuard() noexcept(false);
  TUpdateGuard(const TUpdateGuard&) = delete;
  TUpdateGuard& operator=(const TUpdateGuard&) = delete;

 private:
  TStrings& list_;
  int failuresInFlight_;
};

// ---- Streams ----

// Stream modes.
inline constexpr uint16_t fmCreate = 0xFFFF;
inline constexpr uint16_t fmOpenRead = 0x0000;
inline constexpr uint16_t fmOpenWrite = 0x0001;
inline constexpr uint16_t fmOpenReadWrite = 0x0002;
inline constexpr uint16_t fmShareExclusive = 0x0010;
inline constexpr uint16_t fmShareDenyWrite = 0x0020;
inline constexpr uint16_t fmShareDenyRead = 0x0030;
inline constexpr uint16_t fmShareDenyNone = 0x0040;

class TStream {
 public:
  virtual ~TStream() = default;
  // Returns the number of bytes read: fewer at the end, 0 at the end or on failure.
  virtual int32_t Read(void* buffer, int32_t count) = 0;
  // Returns the number of bytes written, 0 on failure.
  virtual int32_t Write(const void* buffer, int32_t count) = 0;
  // Returns the new position.
  virtual int64_t Seek(int64_t offset, SeekOrigin origin) = 0;
  virtual int64_t Size();
  virtual void SetSize(int64_t size);

  int64_t Position() { return Seek(0, SeekOrigin::kCurrent); }
  void SetPosition(int64_t position) { Seek(position, SeekOrigin::kBegin); }
  // Exact transfers: EReadError "Stream read error" / EWriteError "Stream write error".
  void ReadBuffer(void* buffer, int32_t count);
  void WriteBuffer(const void* buffer, int32_t count);
  // WriteBuffer of any length: more than 2 GiB goes in pieces, as the counts are 32-bit.
  void WriteAll(std::string_view bytes);
};

// A stream on an open host file.
class THandleStream : public TStream {
 public:
  explicit THandleStream(std::unique_ptr<FileHandle> handle) : handle_(std::move(handle)) {}
  int32_t Read(void* buffer, int32_t count) override;
  int32_t Write(const void* buffer, int32_t count) override;
  int64_t Seek(int64_t offset, SeekOrigin origin) override;
  // Ends the file at `size`; EOSError when the host refuses.
  void SetSize(int64_t size) override;
  FileHandle& Handle() { return *handle_; }

 protected:
  THandleStream() = default;
  std::unique_ptr<FileHandle> handle_;
};

// Opens or creates a file by name; closes it when destroyed.
// EFCreateError / EFOpenError "Cannot create|open file "<full path>". <host text>".
class TFileStream : public THandleStream {
 public:
  TFileStream(const std::string& fileName, uint16_t mode);
  const std::string& FileName() const { return fileName_; }

 private:
  std::string fileName_;
};

}  // namespace orvo
