#include "cli/common/workingcopies.h"

#include <QCryptographicHash>
#include <QFile>
#include <QSaveFile>

namespace
{

bool readFile(const QString &path, QByteArray *content, QString *why)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *why = file.errorString();
        return false;
    }
    *content = file.readAll();
    return true;
}

} // namespace

QString WorkingCopies::sha256Of(const QByteArray &content)
{
    return QString::fromLatin1(
        QCryptographicHash::hash(content, QCryptographicHash::Sha256).toHex());
}

WorkingCopies::Failure WorkingCopies::open(const QString &path, QString *why)
{
    imagePath = path;
    if (!readFile(path, &bytes, why))
        return Failure::Unreadable;
    hash = sha256Of(bytes);
    if (!dir.isValid()) {
        *why = QStringLiteral("no room for the image's working copies: %1").arg(dir.errorString());
        return Failure::NoRoom;
    }
    return Failure::None;
}

WorkingCopies::Failure WorkingCopies::readAgain(QByteArray *image, QString *why) const
{
    if (!readFile(imagePath, image, why))
        return Failure::Unreadable;
    return sha256Of(*image) == hash ? Failure::None : Failure::Changed;
}

bool WorkingCopies::write(const QString &name, const QByteArray &content, QString *path,
                          QString *sha256, QString *why) const
{
    *path = dir.filePath(name);
    QSaveFile out(*path);
    if (!out.open(QIODevice::WriteOnly) || out.write(content) != content.size() || !out.commit()) {
        *why = out.errorString();
        return false;
    }
    *sha256 = sha256Of(content);
    return true;
}
