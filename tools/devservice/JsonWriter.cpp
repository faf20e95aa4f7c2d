#include "JsonWriter.h"

#include <utility>

namespace devservice {

void JsonWriter::beginArray()
{
    beginValue();
    m_out += '[';
    m_empty.push_back(true);
}

void JsonWriter::endArray()
{
    m_out += ']';
    m_empty.pop_back();
}

void JsonWriter::beginObject()
{
    beginValue();
    m_out += '{';
    m_empty.push_back(true);
}

void JsonWriter::endObject()
{
    m_out += '}';
    m_empty.pop_back();
}

void JsonWriter::key(std::string_view name)
{
    beginValue();
    appendQuoted(name);
    m_out += ':';
    m_afterKey = true;
}

void JsonWriter::string(std::string_view value)
{
    beginValue();
    appendQuoted(value);
}

void JsonWriter::raw(std::string_view token)
{
    beginValue();
    m_out += token;
}

std::string JsonWriter::take()
{
    return std::exchange(m_out, {});
}

void JsonWriter::beginValue()
{
    if (m_afterKey) {
        m_afterKey = false;
        return;
    }
    if (m_empty.empty())
        return;
    if (!m_empty.back())
        m_out += ',';
    m_empty.back() = false;
}

void JsonWriter::appendQuoted(std::string_view value)
{
    static const char hex[] = "0123456789abcdef";
    m_out += '"';
    for (const char c : value) {
        switch (c) {
        case '"': m_out += "\\\""; break;
        case '\\': m_out += "\\\\"; break;
        case '\b': m_out += "\\b"; break;
        case '\f': m_out += "\\f"; break;
        case '\n': m_out += "\\n"; break;
        case '\r': m_out += "\\r"; break;
        case '\t': m_out += "\\t"; break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                m_out += "\\u00";
                m_out += hex[(c >> 4) & 0xF];
                m_out += hex[c & 0xF];
            } else {
                m_out += c;
            }
        }
    }
    m_out += '"';
}

} // namespace devservice
