#ifndef WORKINGCOPIES_H
#define WORKINGCOPIES_H

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

// The image a run flashes, its hash, and each board's working copy of it:
// a board is sent a copy of exactly the bytes whose hash was taken, so a
// file replaced mid-transfer never reaches a board in pieces.
class WorkingCopies
{
public:
    enum class Failure { None, Unreadable, Changed, NoRoom };

    // Reads the image and takes its hash. On failure, `why` says why: the
    // system's reason where the image cannot be read.
    Failure open(const QString &imagePath, QString *why);
    // The image as it was read.
    const QByteArray &image() const { return bytes; }
    // The SHA-256 of the image's bytes, hex.
    QString sha256() const { return hash; }
    // Reads the image again into `image`: Changed when its bytes are no
    // longer those whose hash was taken.
    Failure readAgain(QByteArray *image, QString *why) const;
    // Writes `content` as the copy `name`: its path and SHA-256 (hex).
    bool write(const QString &name, const QByteArray &content, QString *path, QString *sha256,
               QString *why) const;

    static QString sha256Of(const QByteArray &content);

private:
    QString imagePath;
    QByteArray bytes;
    QString hash;
    QTemporaryDir dir;
};

#endif
