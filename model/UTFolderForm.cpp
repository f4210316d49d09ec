#include "model/UTFolderForm.h"

#include "model/UTFolderSource.h"
#include "model/UTPublicFunc.h"

#include <algorithm>
#include <cctype>

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
    std::string address(Text);
    if (address.back() == '/') address.pop_back();
    return address;
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
    return address;
}

}  // namespace

std::optional<TFolderForm> FolderFormOf(std::string_view Text, int32_t CurrentKind) {
    const std::string text = Trim(Text);
    if (text.empty()) return TFolderForm{CurrentKind, std::string()};
    if (text.find('\0') != std::string::npos) return std::nullopt;

    if (text[0] == '/') return TFolderForm{DEVICE_LOCAL, StripTrailingSlash(text)};
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
        else if (rest.size() > slash + 1 && rest.back() == '\\')
            rest.pop_back();
        return TFolderForm{DEVICE_MOBILE, "wm:" + rest};
    }
    return std::nullopt;
}

}  // namespace bfs
