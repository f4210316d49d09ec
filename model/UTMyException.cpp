#include "model/UTMyException.h"

#include "model/UTPublicFunc.h"
#include "platform/UTAtomicFile.h"
#include "platform/UTFolders.h"

#include <cxxabi.h>

#include <cstdlib>
#include <ctime>
#include <memory>
#include <typeinfo>

namespace bfs {

namespace {

// A log line is one line: line breaks inside a text become blanks.
void AppendOneLine(std::string& Line, std::string_view Text) {
    for (char c : Text) Line += (c == '\r' || c == '\n') ? ' ' : c;
}

// Drops the namespace qualifiers of a demangled type name ("std::out_of_range" -> "out_of_range") and
// the ABI tags that GCC adds to some standard types ("failure[abi:cxx11]" -> "failure"). Qualifiers
// inside template arguments are left alone.
std::string Unqualified(std::string_view Name) {
    std::string plain;
    plain.reserve(Name.size());
    for (size_t i = 0; i < Name.size(); ++i) {
        if (Name.compare(i, 5, "[abi:") == 0) {
            size_t close = Name.find(']', i);
            if (close != std::string_view::npos) {
                i = close;
                continue;
            }
        }
        plain += Name[i];
    }
    size_t start = 0;
    int depth = 0;
    for (size_t i = 0; i < plain.size(); ++i) {
        char c = plain[i];
        if (c == '<' || c == '(') {
            ++depth;
        } else if (c == '>' || c == ')') {
            --depth;
        } else if (depth == 0 && c == ':' && i + 1 < plain.size() && plain[i + 1] == ':') {
            start = i + 2;
            ++i;
        }
    }
    return plain.substr(start);
}

}  // namespace

TMyException& TMyException::Instance() {
    static TMyException instance;
    return instance;
}

void TMyException::HandleException(const std::exception& E) noexcept {
    LogError("unknown", E);
}

void TMyException::LogError(std::string_view Context, const std::exception& E) noexcept {
    try {
        WriteErrorLog(Context, ExceptionClassName(E), E.what());
    } catch (...) {
        // Logging never fails its caller.
    }
}

void TMyException::LogError(std::string_view Context, std::string_view ClassName,
                            std::string_view Message) noexcept {
    WriteErrorLog(Context, ClassName, Message);
}

void TMyException::WriteErrorLog(std::string_view Context, std::string_view ClassName,
                                 std::string_view Message) noexcept {
    try {
        std::string file = LogFileName();
        if (file.empty()) return;
        std::string line = "[Error]:" + LogTimeStamp(std::time(nullptr)) + " msg:";
        AppendOneLine(line, Context);
        line += ' ';
        AppendOneLine(line, ClassName);
        line += ':';
        AppendOneLine(line, Message);
        line += "\r\n";
        // One write per line, so lines of several threads never mix. A line that cannot be
        // written (read-only folder, full disk) is dropped: the caller is already handling a
        // failure and has nowhere better to report this one.
        AppendToFile(file, line);
    } catch (...) {
    }
}

std::string TMyException::ExceptionClassName(const std::exception& E) {
    if (const auto* own = dynamic_cast<const Exception*>(&E)) return own->ClassName();
    const char* mangled = typeid(E).name();
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> demangled(abi::__cxa_demangle(mangled, nullptr, nullptr, &status),
                                                     std::free);
    if (status != 0 || !demangled) return Unqualified(mangled);
    return Unqualified(demangled.get());
}

std::string TMyException::LogFileName() {
    std::string folder = GetProgramFolder();
    if (folder.empty()) return {};
    return folder + "ErrorInfo.txt";
}

}  // namespace bfs
