#include "JsonKeys.h"

#include "platform/Logging.h"

#include <QJsonDocument>
#include <QSet>
#include <QString>
#include <QVector>

namespace {
// One open bracket: an object's keys so far, or none for an array.
struct Scope
{
    bool isObject = false;
    QSet<QString> keys;
};

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

char unescaped(char c)
{
    switch (c) {
    case 'b': return '\b';
    case 'f': return '\f';
    case 'n': return '\n';
    case 'r': return '\r';
    case 't': return '\t';
    default: return c;
    }
}

// Reads the string whose opening quote is at json[at]; leaves at past its
// closing quote (or at the end of an unterminated one).
QString readString(const QByteArray &json, int &at)
{
    QString text;
    QByteArray raw;
    for (++at; at < json.size() && json.at(at) != '"'; ++at) {
        if (json.at(at) != '\\') {
            raw.append(json.at(at));
            continue;
        }
        if (++at >= json.size())
            break;
        if (json.at(at) != 'u') {
            raw.append(unescaped(json.at(at)));
            continue;
        }
        int code = 0;
        int digits = 0;
        for (; digits < 4 && at + 1 < json.size() && hexValue(json.at(at + 1)) >= 0; ++digits)
            code = code * 16 + hexValue(json.at(++at));
        text += QString::fromUtf8(raw) + QChar(char16_t(code));
        raw.clear();
    }
    ++at;
    return text + QString::fromUtf8(raw);
}

int skipSpace(const QByteArray &json, int at)
{
    while (at < json.size()
           && (json.at(at) == ' ' || json.at(at) == '\t' || json.at(at) == '\n'
               || json.at(at) == '\r'))
        ++at;
    return at;
}
} // namespace

namespace JsonKeys {

bool repeatsKey(const QByteArray &json)
{
    QVector<Scope> scopes;
    for (int at = 0; at < json.size();) {
        const char c = json.at(at);
        if (c == '{' || c == '[') {
            scopes.append(Scope{c == '{', {}});
            ++at;
        } else if (c == '}' || c == ']') {
            if (!scopes.isEmpty())
                scopes.removeLast();
            ++at;
        } else if (c == '"') {
            const QString text = readString(json, at);
            at = skipSpace(json, at);
            const bool isKey = at < json.size() && json.at(at) == ':' && !scopes.isEmpty()
                && scopes.last().isObject;
            if (isKey) {
                QSet<QString> &keys = scopes.last().keys;
                if (keys.contains(text))
                    return true;
                keys.insert(text);
            }
        } else {
            ++at;
        }
    }
    return false;
}

std::optional<QJsonArray> listIn(const QByteArray &json)
{
    if (repeatsKey(json)) {
        qCWarning(lcUpdate) << "Ignored a list that names a key twice in one object";
        return std::nullopt;
    }
    const QJsonDocument document = QJsonDocument::fromJson(json);
    if (!document.isArray())
        return std::nullopt;
    return document.array();
}

} // namespace JsonKeys
