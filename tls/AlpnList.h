#pragma once

#include <optional>
#include <string>
#include <vector>

// The application protocols (ALPN) a TLS listener offers, as the user types
// them: "h2, http/1.1", in the server's order of preference.
namespace AlpnList
{
// Names separated by commas and/or spaces, each 1 to 255 printable ASCII
// characters. An empty text is an empty list. Nothing, with the reason, for
// a name that is too long, not printable or given twice.
std::optional<std::vector<std::string>> parse(const std::string& text, std::string& reason);
// "h2, http/1.1": what parse reads back.
std::string format(const std::vector<std::string>& protocols);
}
