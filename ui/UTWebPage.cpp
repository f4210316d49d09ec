#include "ui/UTWebPage.h"

#include <QDesktopServices>
#include <QString>
#include <QUrl>

#include <cctype>

namespace bfs {

namespace {

bool StartsWithNoCase(std::string_view Text, std::string_view Prefix) {
    if (Text.size() < Prefix.size()) return false;
    for (size_t i = 0; i < Prefix.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(Text[i])) != Prefix[i]) return false;
    return true;
}

}  // namespace

bool IsOpenableURL(std::string_view Address) {
    for (const char c : Address)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;
    for (const std::string_view scheme : {"http://", "https://", "mailto:"})
        if (StartsWithNoCase(Address, scheme)) return Address.size() > scheme.size();
    return false;
}

void OpenURL(int Mode, const std::string& Address) {
    (void)Mode;
    if (!IsOpenableURL(Address)) return;
    const QUrl url(QString::fromStdString(Address), QUrl::StrictMode);
    if (url.isValid()) QDesktopServices::openUrl(url);
}

}  // namespace bfs
