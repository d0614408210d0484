// Exceptions of the viewer's query model. They carry the texts the operator
// sees in the error box, so the texts are fixed and tests compare them.
#pragma once

#include <QString>
#include <stdexcept>
#include <string>

// A programming error detected at run time: the model raises it instead of
// aborting, so that the caller's error handling shows it and goes on.
class EAssertionFailed : public std::runtime_error {
public:
    EAssertionFailed(const QString& Text, const QString& Unit);
    const QString& Text() const { return FText; }
    const QString& Unit() const { return FUnit; }

private:
    QString FText;
    QString FUnit;
};

// Raises EAssertionFailed with the given text, naming the conditions unit.
[[noreturn]] void ConditionsAssert(const QString& Text);

// Base of the errors of streams and files.
class EStreamError : public std::runtime_error {
public:
    explicit EStreamError(const QString& Message);
    QString Message() const { return QString::fromUtf8(what()); }
};

// A query stream that cannot be read: "Invalid stream format",
// "Property %s does not exist", "Stream read error", "Invalid property value".
class EReadError : public EStreamError {
public:
    using EStreamError::EStreamError;
};

class EWriteError : public EStreamError {
public:
    using EStreamError::EStreamError;
};

class EFOpenError : public EStreamError {
public:
    using EStreamError::EStreamError;
};

class EFCreateError : public EStreamError {
public:
    using EStreamError::EStreamError;
};

// A date-time value outside the representable calendar.
class EConvertError : public std::runtime_error {
public:
    explicit EConvertError(const QString& Message);
};

// A query operation that would exceed the limits of the condition keys.
class EQueryError : public std::runtime_error {
public:
    explicit EQueryError(const QString& Message);
};

inline constexpr const char* SInvalidImage = "Invalid stream format";
inline constexpr const char* SUnknownProperty = "Property %1 does not exist";
inline constexpr const char* SReadError = "Stream read error";
inline constexpr const char* SWriteError = "Stream write error";
inline constexpr const char* SInvalidPropertyValue = "Invalid property value";
inline constexpr const char* SFOpenError = "Cannot open file \"%1\". %2";
inline constexpr const char* SFCreateError = "Cannot create file \"%1\". %2";
inline constexpr const char* SAssertionFailure = "Assertion failure";
inline constexpr const char* SDateEncodeError = "Invalid argument to date encode";
inline constexpr const char* SConditionsUnit = "ArchiverUI/Conditions";
