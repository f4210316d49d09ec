#pragma once

#include <exception>
#include <stdexcept>
#include <string>
#include <string_view>

namespace bfs {

// The program's own exceptions carry a class name for the error log, as the log line names the
// class of what was caught.
class Exception : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
    virtual const char* ClassName() const noexcept { return "Exception"; }
};

// A text that should hold a number, a date or an encoded value does not.
class EConvertError : public Exception {
  public:
    using Exception::Exception;
    const char* ClassName() const noexcept override { return "EConvertError"; }
};

// A file could not be opened, read or written.
class EInOutError : public Exception {
  public:
    using Exception::Exception;
    const char* ClassName() const noexcept override { return "EInOutError"; }
};

// The error log: "ErrorInfo.txt" in the program folder. One instance serves the whole program
// (TMyException::Instance()). Every line is appended with a single write, so lines from several
// threads never mix, and logging never throws: a line that cannot be written is dropped.
class TMyException {
  public:
    static TMyException& Instance();

    // Unexpected exceptions that reached the top of a thread or the event loop.
    void HandleException(const std::exception& E) noexcept;
    // Appends "[Error]:<local date and time> msg:<Context> <class name>:<message>".
    void LogError(std::string_view Context, const std::exception& E) noexcept;
    // The same for a failure that is not an exception.
    void LogError(std::string_view Context, std::string_view ClassName, std::string_view Message) noexcept;
    void WriteErrorLog(std::string_view Context, std::string_view ClassName,
                       std::string_view Message) noexcept;

    // The class name written for an exception: ClassName() of ours, the unqualified type name of
    // any other.
    static std::string ExceptionClassName(const std::exception& E);
    // The log file's full path (program folder + "ErrorInfo.txt").
    static std::string LogFileName();
};

// Shorthand used by every exception handler.
inline void LogError(std::string_view Context, const std::exception& E) noexcept {
    TMyException::Instance().LogError(Context, E);
}

}  // namespace bfs
