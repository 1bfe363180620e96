// The error kinds of the program. Every kind derives directly from Exception,
// which carries the message text; the kind's name shows in the failure report.
#pragma once

#include <exception>
#include <string>

#include "platform/text.h"

class Exception : public std::exception {
 public:
  explicit Exception(NativeString message) : message_(std::move(message)) {
#ifdef _WIN32
    for (NativeChar c : message_)
      narrow_.push_back(UnitValue(c) < 0x80 ? static_cast<char>(c) : '?');
#else
    narrow_ = message_;  // already bytes
#endif
  }
  const NativeString& Message() const { return message_; }
  const char* what() const noexcept override { return narrow_.c_str(); }
  virtual const char* KindName() const { return "Exception"; }

  // Where the error was raised, for the failure report; null when unknown.
  const void* raiseAddress = nullptr;

 private:
  NativeString message_;
  std::string narrow_;
};

#define TVTIDY_ERROR_KIND(Kind)                                   \
  class Kind : public Exception {                                 \
   public:                                                        \
    using Exception::Exception;                                   \
    const char* KindName() const override { return #Kind; }       \
  }

TVTIDY_ERROR_KIND(EPathTooLongException);
TVTIDY_ERROR_KIND(ENotSupportedException);
TVTIDY_ERROR_KIND(EArgumentException);
TVTIDY_ERROR_KIND(EDirectoryNotFoundException);
TVTIDY_ERROR_KIND(EFileNotFoundException);
TVTIDY_ERROR_KIND(EOutOfMemory);

#undef TVTIDY_ERROR_KIND

// A failed console write (with its code), or a failed move (with the system's text).
class EInOutError : public Exception {
 public:
  explicit EInOutError(NativeString message) : Exception(std::move(message)) {}
  explicit EInOutError(int code) : Exception(MessageForCode(code)), code_(code) {}
  const char* KindName() const override { return "EInOutError"; }
  int Code() const { return code_; }

  static NativeString MessageForCode(int code) {
    switch (code) {
      case 2: return NATIVE("File not found");
      case 3: return NATIVE("Invalid filename");
      case 4: return NATIVE("Too many open files");
      case 5: return NATIVE("File access denied");
      case 100: return NATIVE("Read beyond end of file");
      case 101: return NATIVE("Disk full");
      case 106: return NATIVE("Invalid numeric input");
      default: {
        const std::string text = "I/O error " + std::to_string(code);
        return NativeString(text.begin(), text.end());
      }
    }
  }

 private:
  int code_ = 0;
};
