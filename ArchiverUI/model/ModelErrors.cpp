#include "ModelErrors.h"

namespace {
std::string AssertMessage(const QString& Text, const QString& Unit) {
    return QStringLiteral("%1 (%2)").arg(Text, Unit).toStdString();
}
} // namespace

EAssertionFailed::EAssertionFailed(const QString& Text, const QString& Unit)
    : std::runtime_error(AssertMessage(Text, Unit)), FText(Text), FUnit(Unit) {}

void ConditionsAssert(const QString& Text) {
    throw EAssertionFailed(Text, QString::fromLatin1(SConditionsUnit));
}

EStreamError::EStreamError(const QString& Message) : std::runtime_error(Message.toStdString()) {}

EConvertError::EConvertError(const QString& Message) : std::runtime_error(Message.toStdString()) {}

EQueryError::EQueryError(const QString& Message) : std::runtime_error(Message.toStdString()) {}
