#include "FormData.h"

#include <cctype>

namespace devservice {

namespace {

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

std::map<std::string, std::string> FormData::decode(std::string_view body)
{
    std::map<std::string, std::string> fields;
    while (!body.empty()) {
        const size_t end = body.find('&');
        const std::string_view pair = body.substr(0, end);
        body = end == std::string_view::npos ? std::string_view() : body.substr(end + 1);
        if (pair.empty())
            continue;
        const size_t equals = pair.find('=');
        const std::string name = decodeComponent(pair.substr(0, equals));
        fields[name] = equals == std::string_view::npos ? std::string()
                                                        : decodeComponent(pair.substr(equals + 1));
    }
    return fields;
}

bool FormData::isFormContentType(std::string_view contentType)
{
    static constexpr std::string_view form = "application/x-www-form-urlencoded";
    if (contentType.size() < form.size())
        return false;
    for (size_t i = 0; i < form.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(contentType[i])) != form[i])
            return false;
    }
    const std::string_view rest = contentType.substr(form.size());
    return rest.empty() || rest.front() == ';' || rest.front() == ' ';
}

std::string FormData::decodeComponent(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '+') {
            out += ' ';
        } else if (c == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0
                   && hexValue(text[i + 2]) >= 0) {
            out += char(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

} // namespace devservice
