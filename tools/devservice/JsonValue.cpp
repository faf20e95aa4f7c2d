#include "JsonValue.h"

namespace devservice {

namespace {

// Deep enough for any real content file, shallow enough to keep the stack safe.
constexpr int MaxDepth = 200;

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

size_t skipDigits(std::string_view text, size_t pos)
{
    while (pos < text.size() && isDigit(text[pos]))
        ++pos;
    return pos;
}

} // namespace

std::optional<JsonValue> JsonValue::parse(std::string_view text)
{
    size_t pos = 0;
    auto value = parseValue(text, pos, 0);
    skipSpace(text, pos);
    if (!value || pos != text.size())
        return std::nullopt;
    return value;
}

const JsonValue *JsonValue::member(std::string_view key) const
{
    for (const auto &[name, value] : m_members) {
        if (name == key)
            return &value;
    }
    return nullptr;
}

void JsonValue::skipSpace(std::string_view text, size_t &pos)
{
    while (pos < text.size()
           && (text[pos] == ' ' || text[pos] == '\t' || text[pos] == '\n' || text[pos] == '\r'))
        ++pos;
}

std::optional<JsonValue> JsonValue::parseValue(std::string_view text, size_t &pos, int depth)
{
    if (depth > MaxDepth)
        return std::nullopt;
    skipSpace(text, pos);
    if (pos >= text.size())
        return std::nullopt;
    switch (text[pos]) {
    case '[': return parseArray(text, pos, depth);
    case '{': return parseObject(text, pos, depth);
    case '"': {
        auto string = parseString(text, pos);
        if (!string)
            return std::nullopt;
        JsonValue value;
        value.m_type = Type::String;
        value.m_text = std::move(*string);
        return value;
    }
    default:
        if (text[pos] == '-' || isDigit(text[pos]))
            return parseNumber(text, pos);
        return parseLiteral(text, pos);
    }
}

std::optional<JsonValue> JsonValue::parseArray(std::string_view text, size_t &pos, int depth)
{
    JsonValue array;
    array.m_type = Type::Array;
    ++pos;
    skipSpace(text, pos);
    if (pos < text.size() && text[pos] == ']') {
        ++pos;
        return array;
    }
    while (true) {
        auto item = parseValue(text, pos, depth + 1);
        if (!item)
            return std::nullopt;
        array.m_items.push_back(std::move(*item));
        skipSpace(text, pos);
        if (pos >= text.size())
            return std::nullopt;
        if (text[pos++] == ']')
            return array;
        if (text[pos - 1] != ',')
            return std::nullopt;
    }
}

std::optional<JsonValue> JsonValue::parseObject(std::string_view text, size_t &pos, int depth)
{
    JsonValue object;
    object.m_type = Type::Object;
    ++pos;
    skipSpace(text, pos);
    if (pos < text.size() && text[pos] == '}') {
        ++pos;
        return object;
    }
    while (true) {
        skipSpace(text, pos);
        if (pos >= text.size() || text[pos] != '"')
            return std::nullopt;
        auto key = parseString(text, pos);
        skipSpace(text, pos);
        if (!key || pos >= text.size() || text[pos++] != ':')
            return std::nullopt;
        auto value = parseValue(text, pos, depth + 1);
        if (!value)
            return std::nullopt;
        object.m_members.emplace_back(std::move(*key), std::move(*value));
        skipSpace(text, pos);
        if (pos >= text.size())
            return std::nullopt;
        if (text[pos++] == '}')
            return object;
        if (text[pos - 1] != ',')
            return std::nullopt;
    }
}

std::optional<std::string> JsonValue::parseString(std::string_view text, size_t &pos)
{
    std::string out;
    ++pos;
    while (pos < text.size()) {
        const char c = text[pos];
        if (c == '"') {
            ++pos;
            return out;
        }
        if (static_cast<unsigned char>(c) < 0x20)
            return std::nullopt;
        if (c == '\\') {
            if (!parseEscape(text, pos, out))
                return std::nullopt;
            continue;
        }
        out += c;
        ++pos;
    }
    return std::nullopt;
}

bool JsonValue::parseEscape(std::string_view text, size_t &pos, std::string &out)
{
    if (pos + 1 >= text.size())
        return false;
    const char kind = text[pos + 1];
    pos += 2;
    switch (kind) {
    case '"': out += '"'; return true;
    case '\\': out += '\\'; return true;
    case '/': out += '/'; return true;
    case 'b': out += '\b'; return true;
    case 'f': out += '\f'; return true;
    case 'n': out += '\n'; return true;
    case 'r': out += '\r'; return true;
    case 't': out += '\t'; return true;
    case 'u': break;
    default: return false;
    }
    auto unit = parseHex4(text, pos);
    if (!unit)
        return false;
    pos += 4;
    unsigned codePoint = *unit;
    if (codePoint >= 0xD800 && codePoint <= 0xDBFF) {
        // A high surrogate must be followed by an escaped low one.
        if (pos + 1 >= text.size() || text[pos] != '\\' || text[pos + 1] != 'u')
            return false;
        auto low = parseHex4(text, pos + 2);
        if (!low || *low < 0xDC00 || *low > 0xDFFF)
            return false;
        pos += 6;
        codePoint = 0x10000 + ((codePoint - 0xD800) << 10) + (*low - 0xDC00);
    } else if (codePoint >= 0xDC00 && codePoint <= 0xDFFF) {
        return false;
    }
    appendUtf8(codePoint, out);
    return true;
}

std::optional<unsigned> JsonValue::parseHex4(std::string_view text, size_t pos)
{
    if (pos + 4 > text.size())
        return std::nullopt;
    unsigned value = 0;
    for (size_t i = pos; i < pos + 4; ++i) {
        const char c = text[i];
        value <<= 4;
        if (isDigit(c))
            value |= unsigned(c - '0');
        else if (c >= 'a' && c <= 'f')
            value |= unsigned(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F')
            value |= unsigned(c - 'A' + 10);
        else
            return std::nullopt;
    }
    return value;
}

void JsonValue::appendUtf8(unsigned codePoint, std::string &out)
{
    if (codePoint < 0x80) {
        out += char(codePoint);
    } else if (codePoint < 0x800) {
        out += char(0xC0 | (codePoint >> 6));
        out += char(0x80 | (codePoint & 0x3F));
    } else if (codePoint < 0x10000) {
        out += char(0xE0 | (codePoint >> 12));
        out += char(0x80 | ((codePoint >> 6) & 0x3F));
        out += char(0x80 | (codePoint & 0x3F));
    } else {
        out += char(0xF0 | (codePoint >> 18));
        out += char(0x80 | ((codePoint >> 12) & 0x3F));
        out += char(0x80 | ((codePoint >> 6) & 0x3F));
        out += char(0x80 | (codePoint & 0x3F));
    }
}

std::optional<JsonValue> JsonValue::parseNumber(std::string_view text, size_t &pos)
{
    const size_t start = pos;
    if (text[pos] == '-')
        ++pos;
    if (pos >= text.size() || !isDigit(text[pos]))
        return std::nullopt;
    pos = text[pos] == '0' ? pos + 1 : skipDigits(text, pos);
    if (pos < text.size() && text[pos] == '.') {
        const size_t fraction = ++pos;
        pos = skipDigits(text, pos);
        if (pos == fraction)
            return std::nullopt;
    }
    if (pos < text.size() && (text[pos] == 'e' || text[pos] == 'E')) {
        ++pos;
        if (pos < text.size() && (text[pos] == '+' || text[pos] == '-'))
            ++pos;
        const size_t exponent = pos;
        pos = skipDigits(text, pos);
        if (pos == exponent)
            return std::nullopt;
    }
    JsonValue number;
    number.m_type = Type::Number;
    number.m_text = std::string(text.substr(start, pos - start));
    return number;
}

std::optional<JsonValue> JsonValue::parseLiteral(std::string_view text, size_t &pos)
{
    static const std::pair<std::string_view, Type> literals[]
        = {{"true", Type::Bool}, {"false", Type::Bool}, {"null", Type::Null}};
    for (const auto &[word, type] : literals) {
        if (text.substr(pos, word.size()) == word) {
            pos += word.size();
            JsonValue value;
            value.m_type = type;
            value.m_text = std::string(word);
            return value;
        }
    }
    return std::nullopt;
}

} // namespace devservice
