#include "model/UTFolderForm.h"

#include "model/UTFolderSource.h"
#include "model/UTListOrder.h"
#include "model/UTPublicFunc.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace bfs {

namespace {

bool StartsWithNoCase(std::string_view Text, std::string_view Prefix) {
    return Text.size() >= Prefix.size() &&
           std::equal(Prefix.begin(), Prefix.end(), Text.begin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) ==
                      std::tolower(static_cast<unsigned char>(b));
           });
}

int HexValue(char C) {
    if (C >= '0' && C <= '9') return C - '0';
    if (C >= 'a' && C <= 'f') return C - 'a' + 10;
    if (C >= 'A' && C <= 'F') return C - 'A' + 10;
    return -1;
}

// Whether Trim would cut the last character of Text.
bool EndsInBlank(std::string_view Text) {
    return !Text.empty() && static_cast<unsigned char>(Text.back()) <= ' ';
}

// Text with one trailing Sep dropped, unless the name before it ends in a blank: trimmed again, that
// address would lose the blank and name another folder.
std::string WithoutTrailingSeparator(std::string Text, char Sep) {
    if (!Text.empty() && Text.back() == Sep &&
        !EndsInBlank(std::string_view(Text).substr(0, Text.size() - 1)))
        Text.pop_back();
    return Text;
}

void ToLower(std::string& Text) {
    for (char& c : Text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

// The host in lower case with the port, left out when it is Default. False when a port written
// is no number from 1 to 65535.
bool HostAndPort(std::string_view Authority, int Default, std::string& Out) {
    int port = Default;
    if (!SplitHostPort(Authority, Authority, port)) return false;
    Out = std::string(Authority);
    ToLower(Out);
    if (port != Default) Out += ":" + std::to_string(port);
    return true;
}

std::string LocalForm(std::string_view Address) {
    std::string form;
    for (const char c : Address)
        if (c != '/' || form.empty() || form.back() != '/') form += c;
    if (form.size() > 1 && form.back() == '/') form.pop_back();
    return form;
}

// The share back-end reads "/" as "\" and drops one trailing separator; an address with more, or
// with an empty name, it cannot use.
std::string ShareAddressForm(std::string_view Address) {
    std::string_view text = Address;
    if (text.size() < 3 || !text.starts_with("\\\\")) return std::string(Address);
    while (text.size() > 2 && (text.back() == '\\' || text.back() == '/')) text.remove_suffix(1);
    std::string form = "\\\\";
    size_t parts = 0;
    for (size_t start = 2;;) {
        const size_t end = std::min(text.find_first_of("\\/", start), text.size());
        const std::string_view part = text.substr(start, end - start);
        if (part.empty()) return std::string(Address);
        if (parts++ == 0) {
            std::string host;
            if (!HostAndPort(part, 445, host)) return std::string(Address);
            form += host;
        } else {
            form += '\\';
            form += part;
        }
        if (end == text.size()) break;
        start = end + 1;
    }
    return parts < 2 ? std::string(Address) : form;
}

// As the FTP back-end connects: the address trimmed, with or without its scheme.
std::string FtpForm(std::string_view Address) {
    std::string rest = Trim(Address);
    if (StartsWithNoCase(rest, "ftp://")) rest.erase(0, 6);
    while (!rest.empty() && rest.back() == '/') rest.pop_back();
    const size_t slash = std::min(rest.find('/'), rest.size());
    // A log-on written into the address keeps its case; only the server's name has none.
    const size_t at = rest.rfind('@', slash);
    const size_t hostStart = at == std::string::npos ? 0 : at + 1;
    std::string host;
    if (!HostAndPort(std::string_view(rest).substr(hostStart, slash - hostStart), 21, host))
        host = rest.substr(hostStart, slash - hostStart);
    std::string form = "ftp://" + rest.substr(0, hostStart) + host + rest.substr(slash);
    if (EndsInBlank(form)) form += '/';
    return form;
}

std::string WebDavForm(std::string_view Address) {
    const std::string text = Trim(Address);
    std::string_view rest(text);
    bool https = false;
    const size_t scheme = rest.find("://");
    if (scheme != std::string_view::npos && scheme < rest.find('/')) {
        const std::string_view name = rest.substr(0, scheme);
        if (name.size() == 5 && StartsWithNoCase(name, "https"))
            https = true;
        else if (!(name.size() == 4 && StartsWithNoCase(name, "http")))
            return text;
        rest.remove_prefix(scheme + 3);
    }
    const size_t slash = std::min(rest.find('/'), rest.size());
    const std::string_view authority = rest.substr(0, slash);
    std::string_view path = rest.substr(slash);
    std::string host;
    if (authority.find('@') != std::string_view::npos || !HostAndPort(authority, https ? 443 : 80, host) ||
        host.empty() || host.front() == ':')
        return text;
    while (!path.empty() && path.back() == '/') path.remove_suffix(1);
    std::string form = (https ? "https://" : "http://") + host + std::string(path);
    if (EndsInBlank(form)) form += '/';
    return form;
}

// The scheme is no part of it: the side's secure flag chooses HTTP or HTTPS.
std::string S3Form(std::string_view Address) {
    std::string text = Trim(Address);
    for (const std::string_view scheme : {"https://", "http://"})
        if (StartsWithNoCase(text, scheme)) {
            text.erase(0, scheme.size());
            break;
        }
    const size_t hostEnd = std::min(text.find('/'), text.size());
    std::string form = text.substr(0, hostEnd);
    ToLower(form);
    const std::string rest = hostEnd < text.size() ? text.substr(hostEnd + 1) : std::string();
    const size_t bucketEnd = std::min(rest.find('/'), rest.size());
    form += "/" + rest.substr(0, bucketEnd);
    std::string_view prefix =
        bucketEnd < rest.size() ? std::string_view(rest).substr(bucketEnd + 1) : std::string_view();
    while (!prefix.empty() && prefix.front() == '/') prefix.remove_prefix(1);
    while (!prefix.empty() && prefix.back() == '/') prefix.remove_suffix(1);
    if (!prefix.empty()) form += "/" + std::string(prefix);
    if (EndsInBlank(form)) form += '/';
    return form;
}

std::string DeviceForm(std::string_view Address) {
    const size_t slash = Address.find('\\');
    if (!Address.starts_with("wm:") || slash == std::string_view::npos) return std::string(Address);
    while (Address.size() > slash + 1 && Address.back() == '\\') Address.remove_suffix(1);
    return std::string(Address);
}

// "%20" and the like as the bytes they stand for (file managers copy share URLs so); a "%" not
// followed by two hexadecimal digits stays as it is.
std::string PercentDecoded(std::string_view Text) {
    std::string out;
    for (size_t i = 0; i < Text.size(); ++i) {
        if (Text[i] == '%' && i + 2 < Text.size()) {
            const int high = HexValue(Text[i + 1]), low = HexValue(Text[i + 2]);
            if (high >= 0 && low >= 0) {
                out += static_cast<char>(high * 16 + low);
                i += 2;
                continue;
            }
        }
        out += Text[i];
    }
    return out;
}

// A URL of Scheme with a host: the address without its trailing "/"; nothing without a host.
std::optional<std::string> UrlWithHost(std::string_view Text, std::string_view Scheme) {
    const std::string_view rest = Text.substr(Scheme.size());
    const std::string_view host = rest.substr(0, rest.find('/'));
    if (host.empty() || host.find_first_of(" \t\\") != std::string_view::npos) return std::nullopt;
    return WithoutTrailingSeparator(std::string(Text), '/');
}

// "\\host\share\dir" from the parts of a share address; nothing when the host or the share is
// missing, or a part holds what the stored form cannot (a "\" or a NUL of its own).
std::optional<std::string> ShareForm(std::string_view Rest, bool FromUrl) {
    std::string address = "\\\\";
    size_t parts = 0;
    size_t start = 0;
    for (;;) {
        const size_t end = std::min(Rest.find_first_of(FromUrl ? "/" : "\\/", start), Rest.size());
        const std::string part = FromUrl ? PercentDecoded(Rest.substr(start, end - start))
                                         : std::string(Rest.substr(start, end - start));
        const bool last = end == Rest.size();
        // One trailing separator is dropped; an empty part anywhere else names nothing.
        if (part.empty() && !(last && parts >= 2)) return std::nullopt;
        if (part.find('\\') != std::string::npos || part.find('\0') != std::string::npos) return std::nullopt;
        if (!part.empty()) {
            if (parts > 0) address += '\\';
            address += part;
            ++parts;
        }
        if (last) break;
        start = end + 1;
    }
    if (parts < 2) return std::nullopt;
    // A last name ending in a blank keeps the separator that protects the blank from trimming.
    if (EndsInBlank(address)) address += '\\';
    return address;
}

}  // namespace

bool SplitHostPort(std::string_view Authority, std::string_view& Host, int& Port) {
    const size_t bracket = Authority.rfind(']');
    const size_t colon = Authority.rfind(':');
    if (colon != std::string_view::npos && (bracket == std::string_view::npos || colon > bracket)) {
        const std::string_view digits = Authority.substr(colon + 1);
        int value = 0;
        const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
        if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size() || value < 1 ||
            value > 65535)
            return false;
        Port = value;
        Authority = Authority.substr(0, colon);
    }
    Host = Authority;
    return true;
}

std::optional<TFolderForm> FolderFormOf(std::string_view Text, int32_t CurrentKind) {
    const std::string text = Trim(Text);
    if (text.empty()) return TFolderForm{CurrentKind, std::string()};
    if (text.find('\0') != std::string::npos) return std::nullopt;

    if (text[0] == '/') {
        const std::string stripped = StripTrailingSlash(text);
        return TFolderForm{DEVICE_LOCAL, EndsInBlank(stripped) ? text : stripped};
    }
    if (text.starts_with("\\\\")) {
        const auto share = ShareForm(std::string_view(text).substr(2), false);
        if (!share) return std::nullopt;
        return TFolderForm{DEVICE_NETWORK, *share};
    }
    if (StartsWithNoCase(text, "smb://")) {
        const auto share = ShareForm(std::string_view(text).substr(6), true);
        if (!share) return std::nullopt;
        return TFolderForm{DEVICE_NETWORK, *share};
    }
    const struct {
        const char* Scheme;
        int32_t Kind;
    } urls[] = {{"ftp://", DEVICE_FTP},
                {"sftp://", DEVICE_SFTP},
                {"http://", DEVICE_WEBDAV},
                {"https://", DEVICE_WEBDAV}};
    for (const auto& u : urls) {
        if (!StartsWithNoCase(text, u.Scheme)) continue;
        auto address = UrlWithHost(text, u.Scheme);
        if (!address) return std::nullopt;
        // An S3 side's address is a web address too: it stays an S3 side.
        const int32_t kind = u.Kind == DEVICE_WEBDAV && CurrentKind == DEVICE_S3 ? DEVICE_S3 : u.Kind;
        return TFolderForm{kind, std::move(*address)};
    }
    if (StartsWithNoCase(text, "wm:")) {
        std::string rest = text.substr(3);
        const size_t slash = rest.find('\\');
        if (slash == 0 || rest.empty()) return std::nullopt;
        // The device alone is its top folder; a folder below it loses one trailing "\".
        if (slash == std::string::npos)
            rest += '\\';
        else if (rest.size() > slash + 1)
            rest = WithoutTrailingSeparator(std::move(rest), '\\');
        return TFolderForm{DEVICE_MOBILE, "wm:" + rest};
    }
    return std::nullopt;
}

std::string FolderAddressForm(int32_t Kind, std::string_view Address) {
    switch (Kind) {
        case DEVICE_NONE:
        case DEVICE_LOCAL:
            return LocalForm(Address);
        case DEVICE_NETWORK:
            return ShareAddressForm(Address);
        case DEVICE_FTP:
            return FtpForm(Address);
        case DEVICE_WEBDAV:
            return WebDavForm(Address);
        case DEVICE_S3:
            return S3Form(Address);
        case DEVICE_MOBILE:
            return DeviceForm(Address);
        default:
            return std::string(Address);
    }
}

bool SameFolderAddress(int32_t Kind, std::string_view A, std::string_view B) {
    const std::string a = FolderAddressForm(Kind, A), b = FolderAddressForm(Kind, B);
    if (Kind == DEVICE_NETWORK || Kind == DEVICE_MOBILE) return FoldName(a) == FoldName(b);
    return a == b;
}

}  // namespace bfs
