#pragma once

#include <QString>
#include <QStringList>

#include <stdexcept>

// A message for the user travels as one text: a language key, then the values
// for the key's %1, %2, ... placeholders, each after a unit separator. The
// front end translates the key first and fills in the values after, so a
// status number or a path never needs a translation of its own.
inline constexpr QChar MessageArgumentSeparator = u'\x1f';

// A message may be followed by the message that caused it, after a record
// separator; each is translated on its own.
inline constexpr QChar MessageCauseSeparator = u'\x1e';

inline QString KavroMessage(const QString& key, const QStringList& arguments = {}) {
    QString message = key;
    for (const QString& argument : arguments)
        message += MessageArgumentSeparator + argument;
    return message;
}

// Worker failures are exceptions carrying such a message; the text travels as
// UTF-8 so that paths and translated words survive the trip.
class EKavroError : public std::runtime_error {
public:
    explicit EKavroError(const QString& message) : std::runtime_error(message.toStdString()) {}
    EKavroError(const QString& key, const QStringList& arguments)
        : EKavroError(KavroMessage(key, arguments)) {}
};

inline QString ErrorMessage(const std::exception& error) {
    return QString::fromUtf8(error.what());
}
