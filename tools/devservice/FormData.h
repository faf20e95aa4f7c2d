// Decoding of application/x-www-form-urlencoded bodies.
#pragma once

#include <map>
#include <string>
#include <string_view>

namespace devservice {

class FormData
{
public:
    // Splits at '&' and at the first '=' of each pair, turns '+' into a space and
    // %XX into its byte; a malformed escape stays as written. A repeated name keeps
    // its last value, as PHP does.
    static std::map<std::string, std::string> decode(std::string_view body);

    // Whether a Content-Type header announces a form body.
    static bool isFormContentType(std::string_view contentType);

private:
    static std::string decodeComponent(std::string_view text);
};

} // namespace devservice
