#pragma once

#include "model/UTRefPtr.h"

#include <compare>
#include <string>
#include <string_view>

namespace bfs {

// An immutable text shared by every copy: all entries of one folder carry the same relative path,
// so a listing of a hundred thousand files holds one copy of each folder's path, not one per file.
// Reads like a const std::string; assigning replaces the whole text.
class TSharedString {
  public:
    TSharedString() = default;
    TSharedString(std::string s) { Assign(std::move(s)); }
    TSharedString(const char* s) { Assign(std::string(s)); }
    TSharedString(std::string_view s) { Assign(std::string(s)); }

    const std::string& str() const noexcept { return m_Block ? m_Block->Text : Empty(); }
    operator const std::string&() const noexcept { return str(); }
    operator std::string_view() const noexcept { return str(); }

    const char* c_str() const noexcept { return str().c_str(); }
    const char* data() const noexcept { return str().data(); }
    std::size_t size() const noexcept { return str().size(); }
    std::size_t length() const noexcept { return str().size(); }
    bool empty() const noexcept { return str().empty(); }
    char operator[](std::size_t i) const noexcept { return str()[i]; }
    char front() const noexcept { return str().front(); }
    char back() const noexcept { return str().back(); }
    std::string::const_iterator begin() const noexcept { return str().begin(); }
    std::string::const_iterator end() const noexcept { return str().end(); }

    // True when both share one block (cheap identity test before comparing texts).
    bool SameBlock(const TSharedString& o) const noexcept { return m_Block == o.m_Block; }

    friend bool operator==(const TSharedString& a, const TSharedString& b) noexcept {
        return a.m_Block == b.m_Block || a.str() == b.str();
    }
    friend bool operator==(const TSharedString& a, std::string_view b) noexcept { return a.str() == b; }
    friend bool operator==(const TSharedString& a, const std::string& b) noexcept { return a.str() == b; }
    friend bool operator==(const TSharedString& a, const char* b) noexcept { return a.str() == b; }
    friend std::strong_ordering operator<=>(const TSharedString& a, const TSharedString& b) noexcept {
        return a.str() <=> b.str();
    }

    friend std::string operator+(const TSharedString& a, std::string_view b) {
        std::string r;
        r.reserve(a.size() + b.size());
        r.append(a.str()).append(b);
        return r;
    }
    friend std::string operator+(std::string_view a, const TSharedString& b) {
        std::string r;
        r.reserve(a.size() + b.size());
        r.append(a).append(b.str());
        return r;
    }
    friend std::string operator+(const TSharedString& a, const std::string& b) {
        return a + std::string_view(b);
    }
    friend std::string operator+(const std::string& a, const TSharedString& b) {
        return std::string_view(a) + b;
    }
    friend std::string operator+(const TSharedString& a, const char* b) { return a + std::string_view(b); }
    friend std::string operator+(const char* a, const TSharedString& b) { return std::string_view(a) + b; }
    friend std::string operator+(const TSharedString& a, const TSharedString& b) { return a + b.str(); }

  private:
    struct TBlock : TRefCounted {
        explicit TBlock(std::string s) : Text(std::move(s)) {}
        std::string Text;
    };
    static const std::string& Empty() noexcept {
        static const std::string empty;
        return empty;
    }
    void Assign(std::string s) {
        if (s.empty())
            m_Block = nullptr;
        else
            m_Block = MakeRef<TBlock>(std::move(s));
    }

    TRefPtr<TBlock> m_Block;
};

}  // namespace bfs
