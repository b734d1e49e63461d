#pragma once

#include <QString>

#include <stdexcept>

// Worker failures are exceptions carrying a message text for the user; the text
// travels as UTF-8 so that paths and translated words survive the trip.
class EKavroError : public std::runtime_error {
public:
    explicit EKavroError(const QString& message) : std::runtime_error(message.toStdString()) {}
};

inline QString ErrorMessage(const std::exception& error) {
    return QString::fromUtf8(error.what());
}
