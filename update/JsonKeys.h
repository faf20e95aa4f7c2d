#pragma once

#include <QByteArray>
#include <QJsonArray>

#include <optional>

// A look at the keys of a JSON text before Qt parses it. Qt 5.15's parser
// leaks an object or array that a later member of the same name replaces,
// so a list that repeats a key is not handed to it.
namespace JsonKeys {

// Whether some object in json names the same key twice (escapes decoded).
// It reads the text leniently: a malformed text is looked at as far as it
// goes, which can only find more than the parser would.
bool repeatsKey(const QByteArray &json);

// The top-level array of a list the service sent; nothing for anything
// else, and for a list that repeats a key (logged).
std::optional<QJsonArray> listIn(const QByteArray &json);

} // namespace JsonKeys
