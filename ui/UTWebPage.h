#pragma once

#include <string>
#include <string_view>

namespace bfs {

// Whether OpenURL opens Address: an http, https or mailto address (the scheme in any case), with
// something after the scheme and no control characters. Anything else (file:, javascript:, a program
// path, a bare word) is refused, so a setting or a page can never make the desktop run something.
bool IsOpenableURL(std::string_view Address);

// Opens a web address with the desktop's opener (the user's browser or mail program). Mode 1 asked
// for a browser window sized to the screen; the desktop's opener serves both modes. Addresses that
// IsOpenableURL refuses are not opened. Reports nothing: a failure leaves no trace.
void OpenURL(int Mode, const std::string& Address);

}  // namespace bfs
