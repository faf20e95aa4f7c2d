// Appends JSON text to a string; the caller keeps begin/end calls balanced.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace devservice {

class JsonWriter
{
public:
    void beginArray();
    void endArray();
    void beginObject();
    void endObject();
    // The key of the next member of the open object.
    void key(std::string_view name);
    void string(std::string_view value);
    // A token that is already valid JSON, such as a number.
    void raw(std::string_view token);

    std::string take();

private:
    void beginValue();
    void appendQuoted(std::string_view value);

    std::string m_out;
    // One entry per open array or object: whether it has no element yet.
    std::vector<bool> m_empty;
    bool m_afterKey = false;
};

} // namespace devservice
