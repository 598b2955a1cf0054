#pragma once
#include <QString>
#include <stdexcept>

// The system's one error type: an exception that carries only its message text.
// Library and driver failures become one of these (or a subclass) with the library's own words.
class EVelError : public std::runtime_error {
public:
    explicit EVelError(const QString& xMessage)
        : std::runtime_error(xMessage.toStdString()) {}
    QString Message() const { return QString::fromUtf8(what()); }
};

// The message text of any caught error: ours carry UTF-8, the standard library's local text.
inline QString ErrorMessage(const std::exception& xError)
{
    if (const auto* wVel = dynamic_cast<const EVelError*>(&xError))
        return wVel->Message();
    return QString::fromLocal8Bit(xError.what());
}
