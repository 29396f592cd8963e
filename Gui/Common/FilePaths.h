#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

#include <string>

// File paths as the system spells them (bytes in the locale's encoding) and
// as text a person reads and types.
namespace FilePaths
{
inline std::string toSystem(const QString& path)
{
    return QFile::encodeName(path).toStdString();
}

inline QString toText(const std::string& path)
{
    return QFile::decodeName(QByteArray::fromStdString(path));
}
}
