#pragma once

#include <QByteArray>
#include <QString>

#include <string>

// Bytes on the wire and characters on screen map one to one (ISO 8859-1);
// a character outside Latin-1 becomes '?'.
namespace Latin1
{
inline QString toQString(const std::string& bytes)
{
    return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

inline std::string toBytes(const QString& text)
{
    const QByteArray bytes = text.toLatin1();
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}
}
