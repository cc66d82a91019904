// Helpers that the runtime's system files and the program share; not part of the installed
// headers.
#pragma once

#include <string>
#include <string_view>

namespace rtl {

// A system message without its trailing white space, control characters and full stops.
std::string TrimSystemText(std::string Text);

#ifdef _WIN32
// File names and texts are UTF-8 inside the program and UTF-16 at the system's calls. Bytes
// that are not UTF-8 become U+FFFD.
std::wstring WideFromUtf8(std::string_view Text);
std::string Utf8FromWide(std::wstring_view Text);
#endif

} // namespace rtl
