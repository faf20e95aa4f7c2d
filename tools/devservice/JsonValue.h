// Just enough of a JSON reader for the content folder's own files.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace devservice {

class JsonValue
{
public:
    enum class Type { Null, Bool, Number, String, Array, Object };

    // Parses a whole document; nullopt when it is not valid JSON.
    static std::optional<JsonValue> parse(std::string_view text);

    Type type() const { return m_type; }
    // String contents (decoded), or the number / literal token exactly as written.
    const std::string &text() const { return m_text; }
    const std::vector<JsonValue> &items() const { return m_items; }
    const std::vector<std::pair<std::string, JsonValue>> &members() const { return m_members; }
    // The first member with this key, or nullptr.
    const JsonValue *member(std::string_view key) const;

private:
    static std::optional<JsonValue> parseValue(std::string_view text, size_t &pos, int depth);
    static std::optional<JsonValue> parseArray(std::string_view text, size_t &pos, int depth);
    static std::optional<JsonValue> parseObject(std::string_view text, size_t &pos, int depth);
    static std::optional<std::string> parseString(std::string_view text, size_t &pos);
    static std::optional<JsonValue> parseNumber(std::string_view text, size_t &pos);
    static std::optional<JsonValue> parseLiteral(std::string_view text, size_t &pos);
    static bool parseEscape(std::string_view text, size_t &pos, std::string &out);
    static std::optional<unsigned> parseHex4(std::string_view text, size_t pos);
    static void appendUtf8(unsigned codePoint, std::string &out);
    static void skipSpace(std::string_view text, size_t &pos);

    Type m_type = Type::Null;
    std::string m_text;
    std::vector<JsonValue> m_items;
    std::vector<std::pair<std::string, JsonValue>> m_members;
};

} // namespace devservice
